// Password guessing on the pairing page of the real recovery-server, the
// way an attacker with free pairing codes would do it: fresh codes before
// each code's own limit ends it, one guess after another. Failures must
// slow the guesser down, and unknown user names must cost the server the
// same work as real ones (or their answer's speed tells which exist).

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/tls.h"
#include "server/net.h"
#include "tests/integration/server_process.h"
#include "tests/security/agent_client.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Answer {
  int status = -1;
  double seconds = 0;
  std::string body;
};

class PasswordThrottleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    ASSERT_TRUE(server_.init({"alice"}));
    ASSERT_TRUE(server_.start());
    tls_set_ca_file(server_.ca_file());
    ASSERT_TRUE(attacker_.connect(server_.port()));
  }

  server::ClientRequest request(const std::string& target) {
    server::ClientRequest rq;
    rq.host = "127.0.0.1";
    rq.port = server_.port();
    rq.ca_file = server_.ca_file();
    rq.target = target;
    rq.timeout_seconds = 120;
    return rq;
  }

  // A new code for the attacker's machine, once the server holds it.
  std::string fresh_code() {
    static constexpr char kAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::string code = "TTTT";
    code += kAlphabet[codes_ / 32 % 32];
    code += kAlphabet[codes_ % 32];
    codes_++;
    EXPECT_TRUE(attacker_.pair_request(code));
    std::this_thread::sleep_for(100ms);
    return code;
  }

  Answer guess(const std::string& code, const std::string& user, const std::string& password) {
    server::ClientRequest rq = request("/link_service");
    rq.method = "POST";
    rq.content_type = "application/x-www-form-urlencoded";
    rq.body = "code=" + code + "&username=" + user + "&password=" + password;
    auto started = Clock::now();
    std::string error;
    std::optional<server::ClientReply> r = server::https_request(rq, &error);
    Answer a;
    a.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (r) a.status = r->status, a.body = r->body;
    else a.body = error;
    return a;
  }

  testing::TempDir dir_;
  testing::ServerProcess server_{dir_.path()};
  testing::AgentClient attacker_{"5ec0000e0001"};
  int codes_ = 0;
};

TEST_F(PasswordThrottleTest, UnknownNamesCostTheSameAndGuessesSlowDown) {
  std::string code = fresh_code();
  Answer known = guess(code, "alice", "wrong");
  Answer unknown = guess(code, "nobody", "wrong");
  EXPECT_EQ(known.status, 401) << known.body;
  EXPECT_EQ(unknown.status, 401) << unknown.body;
  std::printf("throttle: wrong password for a real name %.3f s, for an unknown name %.3f s\n", known.seconds,
              unknown.seconds);
  EXPECT_GT(unknown.seconds, known.seconds / 4);

  // Up to the 19th wrong password for alice, four per code.
  int failures = 0;
  for (int i = 0; i < 18; i++) {
    if (failures % 4 == 0) code = fresh_code();
    Answer a = guess(code, "alice", "wrong" + std::to_string(i));
    ASSERT_EQ(a.status, 401) << i << ": " << a.body;
    failures++;
  }
  if (failures % 4 == 0) code = fresh_code();
  // The 20th is held back; meanwhile even the right password is turned away.
  Answer twentieth;
  std::thread held([&] { twentieth = guess(code, "alice", "wrong-20"); });
  std::this_thread::sleep_for(1500ms);
  Answer meanwhile = guess(code, "alice", "pw-alice");
  held.join();
  std::printf("throttle: the 20th wrong password answered after %.2f s (%d); the right one meanwhile %d in %.2f s\n",
              twentieth.seconds, twentieth.status, meanwhile.status, meanwhile.seconds);
  EXPECT_EQ(twentieth.status, 401) << twentieth.body;
  EXPECT_GE(twentieth.seconds, 3.0);
  EXPECT_EQ(meanwhile.status, 429) << meanwhile.body;
  attacker_.close();
}

}  // namespace
}  // namespace halvex
