#include "core/tray.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

#include "core/log.h"
#include "core/util.h"
#include "core/version.h"
#include "platform/console.h"

namespace halvex {

namespace {

constexpr size_t kFieldBytes = 128;

std::mutex g_tray_mu;  // guards the texts and standard output; takes no other lock
std::string g_status = "Not linked";
std::string g_tooltip = std::string("Halvex Service v") + SERVICE_VERSION;
std::atomic<bool> g_linked{false};
std::atomic<bool> g_quit{false};
std::mutex g_posted_mu;  // guards g_posted; takes no other lock
std::vector<TrayCommand> g_posted;

// REQUIRES: g_tray_mu held.
void print_locked(const char* what, const std::string& text) {
  std::printf("%s: %s\n", what, text.c_str());
  std::fflush(stdout);
}

void print_status() {
  std::lock_guard<std::mutex> lock(g_tray_mu);
  print_locked("status", g_status);
  print_locked("tooltip", g_tooltip);
  print_locked("linked", g_linked ? "yes" : "no");
}

void print_menu() {
  std::string menu = tray_menu_text();
  std::lock_guard<std::mutex> lock(g_tray_mu);
  std::printf("menu:\n%s", menu.c_str());
  std::fflush(stdout);
}

void on_line(const std::string& line, TrayCommandCallback on_command) {
  if (line == "login") on_command(kTrayLogin);
  else if (line == "dashboard") on_command(kTrayDashboard);
  else if (line == "disconnect") on_command(kTrayDisconnect);
  else if (line == "exit") on_command(kTrayExit);
  else if (line == "status") print_status();
  else if (line == "menu") print_menu();
  else if (!line.empty()) {
    std::lock_guard<std::mutex> lock(g_tray_mu);
    print_locked("commands", "login, dashboard, disconnect, exit, status, menu");
  }
}

void run_posted(TrayCommandCallback on_command) {
  std::vector<TrayCommand> commands;
  {
    std::lock_guard<std::mutex> lock(g_posted_mu);
    commands.swap(g_posted);
  }
  for (TrayCommand c : commands) on_command(c);
}

}  // namespace

void tray_set_status(const std::string& text) {
  std::lock_guard<std::mutex> lock(g_tray_mu);
  std::string cut = text_cut(text, kFieldBytes);
  if (cut == g_status) return;
  g_status = cut;
  print_locked("status", g_status);
}

void tray_set_tooltip(const std::string& text) {
  std::lock_guard<std::mutex> lock(g_tray_mu);
  std::string cut = text_cut(text, kFieldBytes);
  if (cut == g_tooltip) return;
  g_tooltip = cut;
  print_locked("tooltip", g_tooltip);
}

void tray_set_linked(bool linked) { g_linked = linked; }

std::string tray_status() {
  std::lock_guard<std::mutex> lock(g_tray_mu);
  return g_status;
}

std::string tray_tooltip() {
  std::lock_guard<std::mutex> lock(g_tray_mu);
  return g_tooltip;
}

bool tray_linked() { return g_linked; }

std::string tray_menu_text() {
  std::string menu = std::string("Halvex Service v") + SERVICE_VERSION + " (grayed)\n" + tray_status() +
                     " (grayed)\n----\n";
  if (g_linked)
    menu += "Open Dashboard\n----\nDisconnect\n";
  else
    menu += "Login with Browser\n";
  return menu + "----\nExit\n";
}

void tray_run(TrayCommandCallback on_command) {
  log_msg(LOG_INFO, "System tray icon added");
  print_status();
  while (!g_quit) {
    ConsoleEvent ev = console_next();
    switch (ev.kind) {
      case ConsoleEventKind::kLine: on_line(ev.line, on_command); break;
      case ConsoleEventKind::kExit: on_command(kTrayExit); break;
      case ConsoleEventKind::kLogin: on_command(kTrayLogin); break;
      case ConsoleEventKind::kWake: run_posted(on_command); break;
    }
  }
}

void tray_request_quit() {
  g_quit = true;
  console_wake();
}

void tray_post_command(TrayCommand command) {
  {
    std::lock_guard<std::mutex> lock(g_posted_mu);
    g_posted.push_back(command);
  }
  console_wake();
}

}  // namespace halvex
