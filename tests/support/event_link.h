// The agent's server link inside a test process: a TLS WebSocket server on
// loopback (ws_test_server) with this process's WebSocket client (ws_run)
// connected to it, so that every send_event of the code under test arrives
// there and the test can read the events back in order.
//
// Header-only, since it needs the agent's link library (halvex_link), which
// halvex_testsupport does not build on. One EventLink at a time per process
// (the WebSocket client is process-wide). The test thread drives it.

#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/json.h"
#include "link/proto.h"
#include "link/ws_client.h"
#include "platform/tls.h"
#include "tests/support/test_pki.h"
#include "tests/support/ws_test_server.h"

namespace halvex::testing {

class EventLink {
 public:
  struct Event {
    std::string name;
    Json d;
  };

  // Starts the server with the certificate of `pki` (which must name
  // "localhost" and stays the caller's) and connects the client; false with
  // *error when either fails.
  bool start(const TestPki& pki, std::string* error) {
    tls_set_ca_file(pki.ca_cert_path);
    server_ = std::make_unique<WsTestServer>(pki.cert_path, pki.key_path);
    if (!server_->start(error)) return false;
    run_ = std::thread(
        [u = "wss://localhost:" + std::to_string(server_->port()) + "/ws"] { ws_run(u); });
    using namespace std::chrono_literals;
    if (!server_->wait_for_connections(1, 10s)) {
      *error = "event link: no connection";
      return false;
    }
    for (int i = 0; i < 500 && !ws_is_connected(); i++) std::this_thread::sleep_for(10ms);
    if (!ws_is_connected()) *error = "event link: client not connected";
    return ws_is_connected();
  }

  ~EventLink() {
    ws_close();
    if (run_.joinable()) run_.join();
    if (server_) server_->stop();
  }

  // Every event received so far, in arrival order, from the `from`-th on.
  std::vector<Event> events(size_t from = 0) const {
    std::vector<Event> out;
    std::vector<WsTestServer::Message> messages = server_->messages();
    for (size_t i = from; i < messages.size(); i++) {
      Json msg = json_parse(messages[i].data);
      out.push_back({json_get_string(msg.get(), "e"), json_duplicate(json_get(msg.get(), "d"))});
    }
    return out;
  }

  // Waits up to 30 s for one run of a job to end: an event whose "d" has
  // `value` as its string member `key` and whose name is one of `ends`.
  // Returns every event of that run; a test failure and none when it does
  // not end.
  std::vector<Event> wait_for_run(const std::string& key, const std::string& value,
                                  const std::vector<std::string>& ends) const {
    using namespace std::chrono_literals;
    for (int i = 0; i < 3000; i++) {
      std::vector<Event> mine;
      bool ended = false;
      for (Event& e : events()) {
        if (json_get_string(e.d.get(), key.c_str()) != value) continue;
        ended |= std::find(ends.begin(), ends.end(), e.name) != ends.end();
        mine.push_back(std::move(e));
      }
      if (ended) return mine;
      std::this_thread::sleep_for(10ms);
    }
    ADD_FAILURE() << "run " << key << "=" << value << " did not end";
    return {};
  }

  static std::vector<std::string> names(const std::vector<Event>& events) {
    std::vector<std::string> out;
    for (const Event& e : events) out.push_back(e.name);
    return out;
  }

  // "name {d}" of every event so far, for comparing whole sequences.
  std::vector<std::string> texts() const {
    std::vector<std::string> out;
    for (const Event& e : events()) out.push_back(e.name + " " + json_print(e.d.get()));
    return out;
  }

  WsTestServer& server() const { return *server_; }

 private:
  std::unique_ptr<WsTestServer> server_;
  std::thread run_;
};

}  // namespace halvex::testing
