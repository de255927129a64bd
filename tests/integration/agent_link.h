// The agent's own link modules (WebSocket client, dispatcher,
// authentication, identity store) run in the test process against a fresh
// reference server, the fixture of the tests that drive the agent's link as
// the service does: connect, pair through `approve`, authenticate with the
// stored key.
//
// The dispatcher is process-wide, so is what its pair_success handler saw.
// One test thread drives the fixture; ws_run runs on run_.

#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "service/auth_wiring.h"
#include "service/config.h"
#include "core/json.h"
#include "core/log.h"
#include "link/auth.h"
#include "link/proto.h"
#include "link/ws_client.h"
#include "tests/integration/server_process.h"
#include "tests/support/eventually.h"

namespace halvex::testing {

class AgentLinkTest : public ServerTest {
 protected:
  // The server with `users`, and the agent with its data in agent_, a
  // fresh key and no identity. Subclasses register their handlers after.
  void start(const std::vector<std::string>& users) {
    ASSERT_TRUE(serve(users));
    init_data_paths_from(agent_.path(), agent_.path());
    auth_wire_service();
    log_open(agent_.file("service.log"));
    proto_init();
    auth_register_handlers();
    register_handler("pair_success", on_pair_success);
    auth_clear_identity();
    auth_init_keypair();
    std::lock_guard<std::mutex> lock(mu_);
    pair_success_.clear();
  }

  void TearDown() override {
    disconnect();
    log_close();
    EXPECT_EQ(server_.stop(), 0) << server_.last_output();
  }

  void connect() {
    disconnect();
    std::string url = "wss://localhost:" + std::to_string(server_.port()) + "/ws";
    run_ = std::thread([url] { ws_run(url); });
    ASSERT_TRUE(eventually([] { return ws_is_connected(); })) << log_text();
  }

  void disconnect() {
    ws_close();
    if (run_.joinable()) run_.join();
  }

  std::string log_text() { return read_text_file(agent_.file("service.log")); }

  // The pairing request, as the agent's pairing thread sends it.
  void send_pair_request(const std::string& code) {
    Json d = json_object();
    json_add_string(d.get(), "code", code);
    json_add_string(d.get(), "public_key", auth_public_key());
    json_add_string(d.get(), "platform", "Linux");
    json_add_string(d.get(), "version", "0.2.1");
    json_add_string(d.get(), "build", "native");
    json_add_string(d.get(), "machine_id", get_machine_id());
    json_add_string(d.get(), "hostname", "test-box");
    send_event("service_pair_request", std::move(d));
  }

  // Waits for the agent's pair_success and checks that it names `user`.
  void expect_pair_success(const std::string& user) {
    std::unique_lock<std::mutex> lock(mu_);
    ASSERT_TRUE(
        cv_.wait_for(lock, std::chrono::seconds(15), [] { return !pair_success_.empty(); }));
    EXPECT_TRUE(std::regex_match(
        pair_success_[0], std::regex("\\{\"username\":\"" + user + "\",\"user_id\":[0-9]+\\}")))
        << pair_success_[0];
  }

  // Pairs on a fresh connection through the operator's `approve` for alice.
  void pair_with_approve(const std::string& code = "APPRV2") {
    connect();
    send_pair_request(code);
    std::string out;
    ASSERT_TRUE(eventually([&] {
      return server_.run({"approve", code, "--user", "alice"}, "", &out) == 0;
    })) << server_.last_output();
    EXPECT_NE(out.find("\"machine_id\":\"" + get_machine_id() + "\""), std::string::npos) << out;
    expect_pair_success("alice");
  }

  // A fresh connection that runs the handshake with the stored key.
  void reconnect_and_authenticate() {
    auth_clear_identity();
    connect();
    ASSERT_TRUE(eventually([] { return auth_user_id() != 0; })) << log_text();
    EXPECT_EQ(auth_username(), "alice");
  }

  TempDir agent_;
  std::thread run_;

 private:
  static void on_pair_success(const cJSON* d) {
    std::lock_guard<std::mutex> lock(mu_);
    pair_success_.push_back(json_print(d));
    cv_.notify_all();
  }

  static inline std::mutex mu_;
  static inline std::condition_variable cv_;
  static inline std::vector<std::string> pair_success_;  // printed "d" items
};

}  // namespace halvex::testing
