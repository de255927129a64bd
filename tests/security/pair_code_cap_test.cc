// Pairing codes from one client address on the real recovery-server: one
// address opening connection after connection, each with a code, gets
// refused once it holds its share of waiting codes, while a machine at
// another address can still pair.

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "platform/tls.h"
#include "tests/integration/server_process.h"
#include "tests/security/agent_client.h"
#include "tests/security/security_util.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;

std::string code_of(int n) {
  static constexpr char kAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  return std::string("CAP") + kAlphabet[n / 32 / 32 % 32] + kAlphabet[n / 32 % 32] + kAlphabet[n % 32];
}

TEST(PairCodeCapTest, OneAddressCannotHoldAllTheCodes) {
  ASSERT_GE(sodium_init(), 0);
  testing::TempDir dir;
  testing::ServerProcess server(dir.path());
  ASSERT_TRUE(server.init({"alice"}));
  // Listening on both IPv6 and IPv4: a client at ::1 and one at 127.0.0.1
  // are two addresses.
  ASSERT_TRUE(server.start("[::]:0", {"--max-pair-codes", "16"}));
  tls_set_ca_file(server.ca_file());

  auto count = [&](const std::string& text) {
    std::string log = server.serve_log();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) n++;
    return n;
  };
  std::vector<std::unique_ptr<testing::AgentClient>> flood;
  const int cap = 16;
  for (int i = 0; i <= cap + 4; i++) {
    flood.push_back(std::make_unique<testing::AgentClient>("5ec0000e0d" + std::to_string(100 + i)));
    ASSERT_TRUE(flood.back()->connect(server.port(), "127.0.0.1"));
    ASSERT_TRUE(flood.back()->pair_request(code_of(i)));
  }
  ASSERT_TRUE(testing::eventually([&] { return count("waiting codes already") == 5; }, 20s)) << server.serve_log();
  EXPECT_EQ(count("waits with code"), static_cast<size_t>(cap));
  // The codes past the cap were never stored: the operator cannot find them.
  EXPECT_NE(server.run({"approve", code_of(cap + 2), "--user", "alice"}), 0);

  testing::AgentClient other("5ec0000e0dff");
  ASSERT_TRUE(other.connect(server.port(), "::1"));
  ASSERT_TRUE(other.pair_request("WXYZ22"));
  ASSERT_TRUE(testing::eventually([&] { return server.run({"approve", "WXYZ22", "--user", "alice"}) == 0; }, 20s))
      << server.serve_log();
  EXPECT_EQ(json_get_string(other.next_event().get(), "e"), "pair_success");

  // A connection that gives its code up makes room for the address again.
  flood.front()->close();
  std::this_thread::sleep_for(1s);
  EXPECT_NE(server.run({"approve", code_of(0), "--user", "alice"}), 0);  // its code went with it
  testing::AgentClient later("5ec0000e0dfe");
  ASSERT_TRUE(later.connect(server.port(), "127.0.0.1"));
  ASSERT_TRUE(later.pair_request("LATER2"));
  EXPECT_TRUE(testing::eventually([&] { return server.run({"approve", "LATER2", "--user", "alice"}) == 0; }, 20s))
      << server.serve_log();
}

}  // namespace
}  // namespace halvex
