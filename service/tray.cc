#include "service/tray.h"

#include <atomic>
#include <mutex>

#include "core/log.h"
#include "core/util.h"
#include "core/version.h"

namespace halvex {

namespace {

constexpr size_t kFieldBytes = 128;

std::mutex g_tray_mu;  // guards the texts; takes only the front end's lock
std::string g_status = "Not linked";
std::string g_tooltip = std::string("Halvex Service v") + SERVICE_VERSION;
std::atomic<bool> g_linked{false};
TrayCommandCallback g_on_command = nullptr;  // set by tray_run before the loop

std::string report() {
  std::lock_guard<std::mutex> lock(g_tray_mu);
  return "status: " + g_status + "\ntooltip: " + g_tooltip +
         "\nlinked: " + (g_linked ? "yes" : "no") + "\n";
}

void on_command(int command) {
  if (g_on_command != nullptr) g_on_command(command);
}

// The icon's default action: the dashboard when linked, else pairing.
void on_activate() { on_command(g_linked ? kTrayDashboard : kTrayLogin); }

}  // namespace

void tray_set_status(const std::string& text) {
  std::lock_guard<std::mutex> lock(g_tray_mu);
  std::string cut = text_cut(text, kFieldBytes);
  if (cut == g_status) return;
  g_status = cut;
  // Under the lock, so the front end shows changes in the order they came.
  tray_ui_show_status(g_status);
}

void tray_set_tooltip(const std::string& text) {
  std::lock_guard<std::mutex> lock(g_tray_mu);
  std::string cut = text_cut(text, kFieldBytes);
  if (cut == g_tooltip) return;
  g_tooltip = cut;
  tray_ui_show_tooltip(g_tooltip);
}

void tray_set_linked(bool linked) { g_linked = linked; }

void tray_show_connected(const std::string& user) {
  tray_set_linked(true);
  tray_set_status("Connected \u2014 " + user);
  tray_set_tooltip(std::string("Halvex Service v") + SERVICE_VERSION + " \u2014 " + user);
}

std::string tray_status() {
  std::lock_guard<std::mutex> lock(g_tray_mu);
  return g_status;
}

std::string tray_tooltip() {
  std::lock_guard<std::mutex> lock(g_tray_mu);
  return g_tooltip;
}

bool tray_linked() { return g_linked; }

std::vector<TrayMenuItem> tray_menu() {
  using Kind = TrayMenuItem::Kind;
  std::vector<TrayMenuItem> menu = {
      {Kind::kLabel, std::string("Halvex Service v") + SERVICE_VERSION, -1},
      {Kind::kLabel, tray_status(), -1},
      {Kind::kSeparator, "", -1},
  };
  if (g_linked) {
    menu.push_back({Kind::kCommand, "Open Dashboard", kTrayDashboard});
    menu.push_back({Kind::kSeparator, "", -1});
    menu.push_back({Kind::kCommand, "Disconnect", kTrayDisconnect});
  } else {
    menu.push_back({Kind::kCommand, "Login with Browser", kTrayLogin});
  }
  menu.push_back({Kind::kSeparator, "", -1});
  menu.push_back({Kind::kCommand, "Exit", kTrayExit});
  return menu;
}

void tray_run(const std::string& icon_path, TrayCommandCallback on_command_cb) {
  g_on_command = on_command_cb;
  TrayUiHost host;
  host.icon_path = icon_path;
  host.tooltip = tray_tooltip();
  host.on_command = on_command;
  host.on_activate = on_activate;
  host.menu = tray_menu;
  host.report = report;
  std::string error;
  if (tray_ui_open(host, &error))
    log_msg(LOG_INFO, "System tray icon added");
  else
    log_msg(LOG_ERROR, "Tray icon: %s", error.c_str());
  tray_ui_loop();
}

void tray_request_quit() { tray_ui_quit(); }

void tray_post_command(TrayCommand command) { tray_ui_post(command); }

}  // namespace halvex
