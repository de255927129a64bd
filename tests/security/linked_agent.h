// A hand-made agent linked to a user the quick way, with the operator's
// `approve` on the real server, its link left open and authenticated
// (an approved pairing connection counts as authenticated) for the test
// to send reports on.
//
// One test thread drives each.

#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/integration/server_process.h"
#include "tests/security/agent_client.h"

namespace halvex::testing {

inline ::testing::AssertionResult link_agent(ServerProcess& server, AgentClient& agent, const std::string& code,
                                             const std::string& user) {
  if (!agent.connect(server.port())) return ::testing::AssertionFailure() << "no connection";
  if (!agent.pair_request(code)) return ::testing::AssertionFailure() << "pair request not sent";
  // The code waits once the server has read the request.
  int rc = -1;
  for (int i = 0; i < 50 && rc != 0; i++) {
    rc = server.run({"approve", code, "--user", user});
    if (rc != 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (rc != 0) return ::testing::AssertionFailure() << "approve: " << server.last_output();
  Json msg = agent.next_event();
  if (json_get_string(msg.get(), "e") != "pair_success") return ::testing::AssertionFailure() << "no pair_success";
  return ::testing::AssertionSuccess();
}

}  // namespace halvex::testing
