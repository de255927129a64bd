// The tray: the link's state as the user sees it (status line, tooltip,
// linked flag), the menu built from it, and the commands the user gives.
// What shows it is the platform's front end (platform/tray_ui.h): a console
// loop on Linux, a notification-area icon on Windows.
//
// The setters may be called from any thread, before and during tray_run.
// The tray lock guards the texts and takes no other lock but the front
// end's own.

#pragma once

#include <string>
#include <vector>

#include "platform/tray_ui.h"

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

// Linked as `user`: sets the flag, "Connected — user" and the versioned
// tooltip together.
void tray_show_connected(const std::string& user);

std::string tray_status();   // starts as "Not linked"
std::string tray_tooltip();  // starts as "Halvex Service v0.2.1"
bool tray_linked();

// The menu as it would open now: title and status line (grayed), a
// separator, then Login with Browser, or Open Dashboard, a separator and
// Disconnect; last a separator and Exit.
std::vector<TrayMenuItem> tray_menu();

// Shows the front end and runs it on the calling (main) thread until the
// Exit command has been handled and tray_request_quit() called. `icon_path`
// is an .ico file for the icon (empty: the program's own).
// REQUIRES: tray_ui_init() ran before any thread started.
void tray_run(const std::string& icon_path, TrayCommandCallback on_command);

// Ends tray_run's loop. Any thread.
void tray_request_quit();

// Hands a menu command to tray_run's loop, which runs it on the main thread
// as if it had been chosen from the menu (the control socket's commands
// come this way). Any thread.
void tray_post_command(TrayCommand command);

}  // namespace halvex
