// The fixture shared by the drone link tests: the agent's real link (TLS
// WebSocket client and dispatcher) with the drone handlers registered,
// against a test server on loopback that plays the recovery server. The
// test sends commands as the server would and reads back the events the
// agent sent. The agent holds user id 17, so gated events flow. The link
// runs with kTestTimings.

#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/codec.h"
#include "core/json.h"
#include "core/log.h"
#include "drone/dji.h"
#include "drone/dji_testing.h"
#include "link/auth.h"
#include "link/proto.h"
#include "tests/support/child_process.h"
#include "tests/support/event_link.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_pki.h"

namespace halvex::testing {

using namespace std::chrono_literals;

using Event = EventLink::Event;

// The product's timings cut about five times, except the batch window,
// which stays at 100 ms so that scheduling delays on a loaded machine (or
// under ThreadSanitizer) remain small against it. The ratios the tests
// rely on hold as in the product: a search read outlasts a talking
// device's 100 ms between frames, and a disconnect waits longer than a
// read lasts.
inline constexpr DjiTimings kTestTimings{
    .search_gap = 100ms,
    .search_timeout = 400ms,
    .probe_settle = 60ms,
    .usb_probe_timeout = 100ms,
    .read_gap = 100ms,
    .read_timeout = 100ms,
    .error_pause = 20ms,
    .batch_window = 100ms,
    .reader_stop_wait = 300ms,
    .ready_settle = 100ms,
};

inline std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& p : parts) out += p;
  return out;
}

inline bool contains(const std::vector<std::string>& lines, const std::string& line) {
  for (const std::string& l : lines)
    if (l == line) return true;
  return false;
}

class DjiLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    std::optional<TestPki> pki = make_test_pki({"localhost"}, &error);
    ASSERT_TRUE(pki) << error;
    pki_ = *pki;
    log_open(dir_.file("service.log"));
    ports_ = dir_.file("ports");
    ASSERT_EQ(::mkdir(ports_.c_str(), 0700), 0);
    dji_set_port_dir_for_testing(ports_);
    proto_init();
    dji_register_handlers(kTestTimings);
    auth_set_identity(17, "carol");
    ASSERT_TRUE(link_.emplace().start(pki_, &error)) << error;
  }

  void TearDown() override {
    if (link_) {
      send("dji_disconnect_device");
      EXPECT_TRUE(dji_wait_idle_for_testing(30s));
    }
    dji_reset_for_testing();
    link_.reset();
    log_close();
    remove_test_pki(pki_);
  }

  void send(const std::string& event, const std::string& d = "{}") {
    ASSERT_TRUE(link_->server().send_text("{\"e\":\"" + event + "\",\"d\":" + d + "}"));
  }

  // Every event the agent has sent so far, from message number `from` on.
  std::vector<Event> events(size_t from = 0) const { return link_->events(from); }
  size_t mark() const { return link_->server().messages().size(); }

  // Waits for the first event `name` after message `from` that `pred`
  // accepts; null when none came within `timeout`.
  Json wait_event(const std::string& name, size_t from = 0,
                  const std::function<bool(const cJSON*)>& pred = nullptr,
                  std::chrono::milliseconds timeout = 30s) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      for (Event& e : events(from))
        if (e.name == name && (!pred || pred(e.d.get()))) return std::move(e.d);
      if (std::chrono::steady_clock::now() > deadline) return nullptr;
      std::this_thread::sleep_for(20ms);
    }
  }

  // The "message" of every "dji_log" after message `from`.
  std::vector<std::string> log_lines(size_t from = 0) const {
    std::vector<std::string> out;
    for (const Event& e : events(from))
      if (e.name == "dji_log") out.push_back(json_get_string(e.d.get(), "message"));
    return out;
  }

  // Each of `want` is among the "dji_log" lines after message `from`.
  void expect_logged(size_t from, const std::vector<std::string>& want) const {
    std::vector<std::string> log = log_lines(from);
    for (const std::string& line : want) EXPECT_TRUE(contains(log, line)) << line << joined(log);
  }

  // The "dji_device_info" answer to a status request, which comes after
  // every handler before it has run.
  Json status() {
    size_t from = mark();
    send("dji_get_status");
    return wait_event("dji_device_info", from);
  }

  // Connects and waits for the end of the attempt; the result's "d".
  Json connect(const std::string& d = "{}", std::chrono::milliseconds timeout = 60s) {
    size_t from = mark();
    send("dji_connect_device", d);
    Json result = wait_event(
        "dji_operation_result", from,
        [](const cJSON* r) { return json_get_string(r, "operation") == "connect"; }, timeout);
    if (result && json_get_bool(result.get(), "success")) {
      EXPECT_TRUE(wait_event("dji_ready", from, nullptr, 10s));
    }
    return result;
  }

  // The bytes of every "dji_rx" after message `from`, one string each.
  std::vector<std::string> rx_batches(size_t from = 0) const {
    std::vector<std::string> out;
    for (const Event& e : events(from)) {
      if (e.name != "dji_rx") continue;
      std::optional<Bytes> b = hex_decode(json_get_string(e.d.get(), "raw_hex"));
      out.emplace_back(b ? std::string(b->begin(), b->end()) : "<bad hex>");
    }
    return out;
  }

  std::string service_log() const { return read_text_file(dir_.file("service.log")); }

  TempDir dir_;
  TestPki pki_;
  std::string ports_;
  std::optional<EventLink> link_;
};

}  // namespace halvex::testing
