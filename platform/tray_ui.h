// The tray's front end: what the user sees of the agent and where their
// commands come from. On Linux it is a console loop (commands typed on
// standard input, SIGINT and SIGTERM as Exit, SIGUSR1 as Login, changes
// printed as "status: ..." and "tooltip: ..."); on Windows it is an icon in
// the notification area with a message-only window, a popup menu, a tooltip
// and a balloon.
//
// The front end holds no state of the tray's own: service/tray.cc keeps the
// status line, tooltip and linked flag and hands the front end a host that
// answers its questions. tray_ui_open() and tray_ui_loop() run on the main
// thread, and the host's callbacks are called only there, from inside
// tray_ui_loop(). The show_* functions and tray_ui_quit() may be called from
// any thread; they take only the front end's own lock.

#pragma once

#include <string>
#include <vector>

namespace halvex {

// One entry of the tray menu, top to bottom.
struct TrayMenuItem {
  enum class Kind {
    kLabel,    // grayed text that does nothing (title, status line)
    kCommand,  // a command: chosen, it reaches the host as `command`
    kSeparator,
  };
  Kind kind = Kind::kSeparator;
  std::string text;  // UTF-8
  int command = -1;  // for kCommand: the index passed to on_command
};

struct TrayUiHost {
  std::string icon_path;  // an .ico file; empty or unreadable: the program's own icon
  std::string tooltip;    // the tooltip to start with
  void (*on_command)(int command) = nullptr;      // a menu command (or typed command)
  void (*on_activate)() = nullptr;                // the icon's default action (double-click)
  std::vector<TrayMenuItem> (*menu)() = nullptr;  // the menu as it should show now
  std::string (*report)() = nullptr;  // the console's "status" answer, one "name: value" per line
};

// Prepares the front end. Call on the main thread before any other thread
// starts (the console front end routes signals here). False, with *error
// saying why, when it runs in a reduced way; the caller logs that once the
// log is open.
bool tray_ui_init(std::string* error);

// Shows the front end (the icon with its balloon, or the console's first
// status lines). The host is copied. False, with *error, when it could not
// be shown; tray_ui_loop() still runs and tray_ui_quit() still ends it.
bool tray_ui_open(const TrayUiHost& host, std::string* error);

// Runs until tray_ui_quit(): reads commands and calls the host. Returns
// once the icon has been removed.
void tray_ui_loop();

// Makes tray_ui_loop() return. Any thread, before or during the loop.
void tray_ui_quit();

// True when the tray's commands also need the control socket
// (platform/local_socket.h, halvex-servicectl): the console front end is
// gone when the agent runs as a service. The Windows icon needs none.
bool tray_ui_wants_control_socket();

// Hands `command` to the loop, which passes it to the host's on_command on
// the main thread as if the user had chosen it. Any thread, once
// tray_ui_open() has returned; before that the command is dropped.
void tray_ui_post(int command);

// The status line or tooltip changed (UTF-8). The console prints it; the
// icon takes the new tooltip, while the status line shows the next time the
// menu opens. Any thread.
void tray_ui_show_status(const std::string& text);
void tray_ui_show_tooltip(const std::string& text);

}  // namespace halvex
