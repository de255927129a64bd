// The tray as a console front end on the main thread: it reads "login",
// "dashboard", "disconnect", "exit", "status" and "menu" from standard input,
// treats SIGINT and SIGTERM as Exit and SIGUSR1 as Login with Browser, and
// prints every change of the status line and the tooltip to standard output.

#include "platform/tray_ui.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

#include "platform/console.h"

namespace halvex {
namespace {

// The host's command indexes, as the menu numbers them.
constexpr int kLogin = 0;
constexpr int kDashboard = 1;
constexpr int kDisconnect = 2;
constexpr int kExit = 3;

std::mutex g_out_mu;  // whole lines on standard output; takes no other lock
TrayUiHost g_host;    // written by tray_ui_open before the loop reads it
std::atomic<bool> g_quit{false};
std::atomic<bool> g_open{false};
std::mutex g_posted_mu;  // guards g_posted; takes no other lock
std::vector<int> g_posted;

void print(const std::string& text) {
  std::lock_guard<std::mutex> lock(g_out_mu);
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

std::string menu_text() {
  std::string text = "menu:\n";
  for (const TrayMenuItem& item : g_host.menu()) {
    switch (item.kind) {
      case TrayMenuItem::Kind::kLabel:
        text += item.text + " (grayed)\n";
        break;
      case TrayMenuItem::Kind::kCommand:
        text += item.text + "\n";
        break;
      case TrayMenuItem::Kind::kSeparator:
        text += "----\n";
        break;
    }
  }
  return text;
}

void command(int index) {
  if (g_host.on_command != nullptr) g_host.on_command(index);
}

void on_line(const std::string& line) {
  if (line == "login")
    command(kLogin);
  else if (line == "dashboard")
    command(kDashboard);
  else if (line == "disconnect")
    command(kDisconnect);
  else if (line == "exit")
    command(kExit);
  else if (line == "status" && g_host.report != nullptr)
    print(g_host.report());
  else if (line == "menu" && g_host.menu != nullptr)
    print(menu_text());
  else if (!line.empty())
    print("commands: login, dashboard, disconnect, exit, status, menu\n");
}

void run_posted() {
  std::vector<int> commands;
  {
    std::lock_guard<std::mutex> lock(g_posted_mu);
    commands.swap(g_posted);
  }
  for (int c : commands) command(c);
}

}  // namespace

bool tray_ui_init(std::string* error) { return console_init(error); }

bool tray_ui_open(const TrayUiHost& host, std::string*) {
  g_host = host;
  g_open = true;
  if (g_host.report != nullptr) print(g_host.report());
  return true;
}

void tray_ui_loop() {
  while (!g_quit) {
    ConsoleEvent ev = console_next();
    switch (ev.kind) {
      case ConsoleEventKind::kLine:
        on_line(ev.line);
        break;
      case ConsoleEventKind::kExit:
        command(kExit);
        break;
      case ConsoleEventKind::kLogin:
        command(kLogin);
        break;
      case ConsoleEventKind::kWake:
        run_posted();
        break;
    }
  }
}

void tray_ui_quit() {
  g_quit = true;
  console_wake();
}

bool tray_ui_wants_control_socket() { return true; }

void tray_ui_post(int index) {
  if (!g_open) return;
  {
    std::lock_guard<std::mutex> lock(g_posted_mu);
    g_posted.push_back(index);
  }
  console_wake();
}

void tray_ui_show_status(const std::string& text) { print("status: " + text + "\n"); }

void tray_ui_show_tooltip(const std::string& text) { print("tooltip: " + text + "\n"); }

}  // namespace halvex
