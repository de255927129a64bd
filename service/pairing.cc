#include "service/pairing.h"

#include <atomic>
#include <functional>
#include <mutex>

#include "core/log.h"
#include "core/thread.h"
#include "core/util.h"
#include "core/version.h"
#include "link/auth.h"
#include "link/proto.h"
#include "link/ws_client.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/random.h"
#include "platform/system.h"
#include "service/config.h"
#include "service/tray.h"

namespace halvex {

namespace {

constexpr int kReconnectWaits[] = {1, 2, 3, 5, 10, 15};  // seconds, one per attempt
constexpr int kAttempts = 6;
constexpr char kPairCodeAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
constexpr uint32_t kWatchdogMs = 15000;
constexpr uint32_t kPollMs = 250;
constexpr uint32_t kCloseSettleMs = 500;
constexpr int kPairPolls = 40;       // about 10 s
constexpr int kReconnectPolls = 20;  // about 5 s

std::atomic<bool> g_should_reconnect{true};
std::atomic<bool> g_reconnecting{false};
// Orders clearing should_reconnect against the steps of a reconnect sequence
// that close or start a connection; taken before the WebSocket client's lock.
std::mutex g_link_mu;
std::mutex g_progress_mu;  // guards g_progress; takes no other lock
PairingProgress g_progress;

void note_progress(uint64_t PairingProgress::*count, const std::string& page = "",
                   const std::string& code = "") {
  std::lock_guard<std::mutex> lock(g_progress_mu);
  g_progress.*count += 1;
  if (!page.empty()) {
    g_progress.page = page;
    g_progress.code = code;
  }
}

// Polls up to `polls` times, 250 ms apart, until the connection of `run`
// (not just any connection) is up.
bool wait_for_connection(uint64_t run, int polls) {
  for (int i = 0; i < polls; i++) {
    if (ws_run_is_connected(run)) return true;
    clock_wait_ms(kPollMs);
  }
  return ws_run_is_connected(run);
}

// Empty if the random source fails.
std::string new_pair_code() {
  unsigned char bytes[kPairCodeLength];
  if (!random_bytes(bytes, sizeof bytes)) return "";
  return pair_code_from_bytes(bytes);
}

void pairing_thread() {
  note_progress(&PairingProgress::started);
  tray_set_status("Connecting...");
  std::string code = new_pair_code();
  if (code.empty()) {
    log_msg(LOG_ERROR, "pair: random source failed");
    tray_set_status("Connection failed");
    note_progress(&PairingProgress::failed);
    return;
  }
  set_should_reconnect(false);
  if (ws_is_connected()) {
    ws_close();
    clock_wait_ms(kCloseSettleMs);
  }
  // The request must go out on this sequence's own connection: one begun
  // earlier (at start-up, say) that comes up meanwhile is closed by the new
  // run, and a request sent on it would be lost with it.
  uint64_t run = start_connection_thread();
  if (!wait_for_connection(run, kPairPolls)) {
    log_msg(LOG_ERROR, "pair: connection timeout");
    tray_set_status("Connection failed");
    note_progress(&PairingProgress::failed);
    return;
  }
  std::string hostname;
  get_hostname(&hostname);
  Json d = json_object();
  json_add_string(d.get(), "code", code);
  json_add_string(d.get(), "public_key", auth_public_key());
  json_add_string(d.get(), "platform", system_platform_name());
  json_add_string(d.get(), "version", SERVICE_VERSION);
  json_add_string(d.get(), "build", kBuildName);
  json_add_string(d.get(), "machine_id", get_machine_id());
  json_add_string(d.get(), "hostname", hostname);
  send_event("service_pair_request", std::move(d));

  std::string page = text_cut(server_base_url() + "/link_service?code=" + code, 256);
  log_msg(LOG_INFO, "pair: opening %s", page.c_str());
  note_progress(&PairingProgress::requested, page, code);
  if (process_may_open_browser()) process_open_url(page);  // else the log has the URL
  tray_set_status("Waiting for browser login...");
}

// The end shared by every unsuccessful exit of a sequence.
void reconnect_finish() {
  if (!ws_is_connected() && g_should_reconnect) {
    log_msg(LOG_WARN, "reconnect: all attempts failed, watchdog will retry");
    tray_set_status("Connection failed \u2014 retrying soon");
  }
  g_reconnecting = false;
}

// Runs `step` unless should_reconnect has been cleared. A sequence past its
// check could otherwise close the connection that pairing has just opened,
// or reconnect after Disconnect.
bool reconnect_step(const std::function<void()>& step) {
  std::lock_guard<std::mutex> lock(g_link_mu);
  if (!g_should_reconnect) {
    log_msg(LOG_INFO, "reconnect: should_reconnect=false");
    return false;
  }
  step();
  return true;
}

void reconnect_attempts() {
  for (int n = 1; n <= kAttempts; n++) {
    if (ws_is_connected()) {
      log_msg(LOG_INFO, "reconnect: already connected");
      break;
    }
    if (!g_should_reconnect) {
      log_msg(LOG_INFO, "reconnect: should_reconnect=false");
      break;
    }
    Json config = config_load();
    if (!config || !json_has(config.get(), "private_key")) {
      log_msg(LOG_WARN, "reconnect: no private_key in config, skipping");
      break;
    }
    int wait = kReconnectWaits[n - 1];
    log_msg(LOG_INFO, "reconnect: attempt %d/%d (wait %ds)", n, kAttempts, wait);
    if (!reconnect_step(ws_close)) break;
    clock_wait_ms(kCloseSettleMs);
    uint64_t run = 0;
    if (!reconnect_step([&run] { run = start_connection_thread(); })) break;
    if (wait_for_connection(run, kReconnectPolls)) {
      log_msg(LOG_INFO, "reconnect: success");
      g_reconnecting = false;
      return;
    }
    if (n == kAttempts) break;
    clock_wait_ms(static_cast<uint32_t>(wait) * 1000);
  }
  reconnect_finish();
}

// A sequence that runs out of memory ends like one that failed, so that the
// watchdog can start the next.
void reconnect_thread() {
  if (g_reconnecting.exchange(true)) return;
  run_guarded("reconnect", reconnect_attempts, [](const std::string&) { reconnect_finish(); });
}

void start_reconnect() { thread_start("reconnect", reconnect_thread); }

void watchdog_check() {
  if (ws_is_connected() || !g_should_reconnect || g_reconnecting) return;
  log_msg(LOG_INFO, "watchdog: not connected, triggering reconnect");
  if (g_should_reconnect && !g_reconnecting) start_reconnect();
}

// Each check is guarded on its own: the watchdog must outlive a moment
// without memory.
void watchdog_thread() {
  for (;;) {
    clock_wait_ms(kWatchdogMs);
    run_guarded("watchdog", watchdog_check);
  }
}

}  // namespace

std::string pair_code_from_bytes(const unsigned char (&bytes)[kPairCodeLength]) {
  std::string code;
  for (unsigned char b : bytes) code += kPairCodeAlphabet[b & 31];
  return code;
}

void set_should_reconnect(bool value) {
  std::lock_guard<std::mutex> lock(g_link_mu);
  g_should_reconnect = value;
}
bool should_reconnect() { return g_should_reconnect; }

uint64_t start_connection_thread() {
  uint64_t run = ws_new_run();
  thread_start("ws", [url = service_url(), run] { ws_run(url, run); });
  return run;
}

void start_pairing() {
  thread_start("pair", pairing_thread, [](const std::string&) {
    tray_set_status("Connection failed");
    note_progress(&PairingProgress::failed);
  });
}

PairingProgress pairing_progress() {
  std::lock_guard<std::mutex> lock(g_progress_mu);
  return g_progress;
}

void start_watchdog() { thread_start("watchdog", watchdog_thread); }

void on_pair_success(const cJSON* data) {
  std::string name = json_get_string(data, "username");
  if (name.empty()) name = "User";
  auth_save_private_key();
  Json update = json_object();
  json_add_string(update.get(), "username", name);
  config_save(update.get());
  int32_t user_id = json_get_int32(data, "user_id", 1);
  auth_set_identity(user_id, name.c_str());
  name = text_cut(name, kUserNameBytes);
  log_msg(LOG_INFO, "pair: success! linked as %s (user_id=%d)", name.c_str(), user_id);
  g_should_reconnect = true;
  tray_show_connected(name);
  note_progress(&PairingProgress::linked);
}

void on_link_lost(const cJSON*) {
  // The end of a connection that a newer one has replaced is not a loss of
  // the link: the live connection keeps its identity and needs no reconnect.
  if (ws_run_was_replaced()) return;
  auth_clear_identity();
  tray_set_linked(false);
  tray_set_status("Reconnecting...");
  tray_set_tooltip("Halvex Service \u2014 Reconnecting...");
  if (g_should_reconnect && !g_reconnecting) start_reconnect();
}

}  // namespace halvex
