// The tray: what the user sees of the agent, and the commands they give it.
// On this build the tray is a console front end on the main thread: it reads
// "login", "dashboard", "disconnect", "exit", "status" and "menu" from
// standard input, treats SIGINT and SIGTERM as Exit and SIGUSR1 as Login with
// Browser, and prints every change of the status line and the tooltip to
// standard output ("status: ...", "tooltip: ...").
//
// The setters may be called from any thread, before and during tray_run.

#pragma once

#include <string>

namespace halvex {

// Menu commands, as indexes passed to the command callback.
enum TrayCommand : int {
  kTrayLogin = 0,
  kTrayDashboard = 1,
  kTrayDisconnect = 2,
  kTrayExit = 3,
};
using TrayCommandCallback = void (*)(int command);

// Each setter takes UTF-8 text, kept to 127 bytes as the tray's fields are.
void tray_set_status(const std::string& text);
void tray_set_tooltip(const std::string& text);
void tray_set_linked(bool linked);

std::string tray_status();   // starts as "Not linked"
std::string tray_tooltip();  // starts as "Halvex Service v0.2.1"
bool tray_linked();

// The menu entries as the tray would show them now, one per line: title and
// status (grayed), then the commands, "----" for separators.
std::string tray_menu_text();

// Runs the console loop on the calling (main) thread until the Exit command
// has been handled and tray_request_quit() called. REQUIRES: console_init()
// ran before any thread started.
void tray_run(TrayCommandCallback on_command);

// Ends tray_run's loop. Any thread.
void tray_request_quit();

// Hands a menu command to tray_run's loop, which runs it on the main thread
// as if it had been chosen from the menu (the control socket's commands
// come this way). Any thread.
void tray_post_command(TrayCommand command);

}  // namespace halvex
