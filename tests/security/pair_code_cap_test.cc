// Pairing codes from one client address on the real recovery-server: one
// address opening connection after connection, each with a code, gets
// refused once it holds its share of waiting codes, while a machine at
// another address can still pair.

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "tests/security/linked_agent.h"
#include "tests/security/security_util.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;

std::string code_of(int n) { return testing::pair_code("CAP", n, 3); }

using PairCodeCapTest = testing::ServerTest;

TEST_F(PairCodeCapTest, OneAddressCannotHoldAllTheCodes) {
  // Listening on both IPv6 and IPv4: a client at ::1 and one at 127.0.0.1
  // are two addresses.
  ASSERT_TRUE(serve({"alice"}, "[::]:0", {"--max-pair-codes", "16"}));
  std::vector<std::unique_ptr<testing::AgentClient>> flood;
  const int cap = 16;
  for (int i = 0; i <= cap + 4; i++) {
    flood.push_back(std::make_unique<testing::AgentClient>("5ec0000e0d" + std::to_string(100 + i)));
    ASSERT_TRUE(flood.back()->connect(server_.port(), "127.0.0.1"));
    ASSERT_TRUE(flood.back()->pair_request(code_of(i)));
  }
  ASSERT_TRUE(
      testing::eventually([&] { return server_.log_count("waiting codes already") == 5; }, 20s))
      << server_.serve_log();
  EXPECT_EQ(server_.log_count("waits with code"), static_cast<size_t>(cap));
  // The codes past the cap were never stored: the operator cannot find them.
  EXPECT_NE(server_.run({"approve", code_of(cap + 2), "--user", "alice"}), 0);

  testing::AgentClient other("5ec0000e0dff");
  ASSERT_TRUE(other.connect(server_.port(), "::1"));
  ASSERT_TRUE(other.pair_request("WXYZ22"));
  ASSERT_TRUE(testing::eventually(
      [&] {
        return server_.run({"approve", "WXYZ22", "--user", "alice"}) == 0;
      },
      20s))
      << server_.serve_log();
  EXPECT_EQ(json_get_string(other.next_event().get(), "e"), "pair_success");

  // A connection that gives its code up makes room for the address again.
  flood.front()->close();
  std::this_thread::sleep_for(1s);
  EXPECT_NE(server_.run({"approve", code_of(0), "--user", "alice"}), 0);  // its code went with it
  testing::AgentClient later("5ec0000e0dfe");
  ASSERT_TRUE(later.connect(server_.port(), "127.0.0.1"));
  ASSERT_TRUE(later.pair_request("LATER2"));
  EXPECT_TRUE(testing::eventually(
      [&] {
        return server_.run({"approve", "LATER2", "--user", "alice"}) == 0;
      },
      20s))
      << server_.serve_log();
}

// A machine that asks again with its code on a new link, before its old
// link is seen gone, takes the code over: the old link must no longer
// count against its address once both are closed.
TEST_F(PairCodeCapTest, CodeTakenOverByANewLinkIsNotCountedTwice) {
  ASSERT_TRUE(serve({"alice"}, "127.0.0.1:0", {"--max-pair-codes", "2"}));
  {
    testing::AgentClient old_link("5ec0000e0d01"), new_link("5ec0000e0d01");
    new_link.use_key_of(old_link);
    ASSERT_TRUE(old_link.connect(server_.port(), "127.0.0.1"));
    ASSERT_TRUE(old_link.pair_request("RETRY2"));
    ASSERT_TRUE(
        testing::eventually([&] { return server_.log_count("waits with code") == 1; }, 20s));
    ASSERT_TRUE(new_link.connect(server_.port(), "127.0.0.1"));
    ASSERT_TRUE(new_link.pair_request("RETRY2"));
    ASSERT_TRUE(
        testing::eventually([&] { return server_.log_count("waits with code") == 2; }, 20s));
    new_link.close();
    old_link.close();
  }
  std::this_thread::sleep_for(1s);
  // Both places are free again.
  testing::AgentClient a("5ec0000e0d02"), b("5ec0000e0d03");
  ASSERT_TRUE(a.connect(server_.port(), "127.0.0.1"));
  ASSERT_TRUE(b.connect(server_.port(), "127.0.0.1"));
  ASSERT_TRUE(a.pair_request("PLACE2"));
  ASSERT_TRUE(b.pair_request("SECND2"));
  EXPECT_TRUE(testing::eventually([&] { return server_.log_count("waits with code") == 4; }, 20s))
      << server_.serve_log();
}

}  // namespace
}  // namespace halvex
