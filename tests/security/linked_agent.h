// A hand-made agent linked to a user the quick way, with the operator's
// `approve` on the real server, its link left open and authenticated
// (an approved pairing connection counts as authenticated) for the test
// to send reports on.
//
// One test thread drives each. Including this brings the agent and the
// server fixture (ServerTest) with it.

#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "tests/integration/server_process.h"
#include "tests/security/agent_client.h"

namespace halvex::testing {

// A pairing code: `prefix` and `digits` characters of the code alphabet
// that count `n`, the last one fastest.
inline std::string pair_code(const std::string& prefix, int n, int digits) {
  static constexpr char kAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  std::string code = prefix;
  for (int d = digits - 1; d >= 0; d--) {
    int v = n;
    for (int i = 0; i < d; i++) v /= 32;
    code += kAlphabet[v % 32];
  }
  return code;
}

inline ::testing::AssertionResult link_agent(ServerProcess& server, AgentClient& agent,
                                             const std::string& code, const std::string& user) {
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
  if (json_get_string(msg.get(), "e") != "pair_success")
    return ::testing::AssertionFailure() << "no pair_success";
  return ::testing::AssertionSuccess();
}

}  // namespace halvex::testing
