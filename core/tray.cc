#include "core/tray.h"

#include <atomic>
#include <mutex>

#include "core/util.h"
#include "core/version.h"

namespace halvex {

namespace {

constexpr size_t kFieldBytes = 128;

std::mutex g_tray_mu;  // guards the two texts; takes no other lock
std::string g_status = "Not linked";
std::string g_tooltip = std::string("Halvex Service v") + SERVICE_VERSION;
std::atomic<bool> g_linked{false};

}  // namespace

void tray_set_status(const std::string& text) {
  std::lock_guard<std::mutex> lock(g_tray_mu);
  g_status = text_cut(text, kFieldBytes);
}

void tray_set_tooltip(const std::string& text) {
  std::lock_guard<std::mutex> lock(g_tray_mu);
  g_tooltip = text_cut(text, kFieldBytes);
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

}  // namespace halvex
