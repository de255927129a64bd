// Password guessing on the pairing page of the real recovery-server, the
// way an attacker with free pairing codes would do it: fresh codes before
// each code's own limit ends it, one guess after another. Failures must
// slow the guesser down, and unknown user names must cost the server the
// same work as real ones (or their answer's speed tells which exist). The
// login page's guesses with user names of a megabyte must not stay in the
// server's memory.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/security/linked_agent.h"
#include "tests/security/security_util.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Answer {
  int status = -1;
  double seconds = 0;
  std::string body;
};

class PasswordThrottleTest : public testing::ServerTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(serve());
    ASSERT_TRUE(attacker_.connect(server_.port()));
  }

  // A new code for the attacker's machine, once the server holds it.
  std::string fresh_code() {
    std::string code = testing::pair_code("TTTT", codes_++, 2);
    EXPECT_TRUE(attacker_.pair_request(code));
    EXPECT_TRUE(testing::eventually([&] {
      return server_.log_count("waits with code " + code) > 0;
    })) << code;
    return code;
  }

  Answer guess(const std::string& code, const std::string& user, const std::string& password) {
    server::ClientRequest rq = server_.form_post(
        "/link_service", "code=" + code + "&username=" + user + "&password=" + password);
    rq.timeout_seconds = 120;
    auto started = Clock::now();
    std::string error;
    std::optional<server::ClientReply> r = server::https_request(rq, &error);
    double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    return r ? Answer{r->status, seconds, r->body} : Answer{-1, seconds, error};
  }

  testing::AgentClient attacker_{"5ec0000e0001"};
  int codes_ = 0;
};

TEST_F(PasswordThrottleTest, UnknownNamesCostTheSameAndGuessesSlowDown) {
  std::string code = fresh_code();
  Answer known = guess(code, "alice", "wrong");
  Answer unknown = guess(code, "nobody", "wrong");
  EXPECT_EQ(known.status, 401) << known.body;
  EXPECT_EQ(unknown.status, 401) << unknown.body;
  EXPECT_GT(unknown.seconds, known.seconds / 4);

  // Up to the 19th wrong password for alice, four per code.
  for (int i = 0; i < 18; i++) {
    if (i % 4 == 0) code = fresh_code();
    Answer a = guess(code, "alice", "wrong" + std::to_string(i));
    ASSERT_EQ(a.status, 401) << i << ": " << a.body;
  }
  // The 20th is held back; meanwhile even the right password is turned away.
  // It counts from when it starts, so also while its password is checked;
  // the right one goes 3 s later, well inside the 20th's 8 s wait.
  Answer twentieth;
  std::thread held([&] { twentieth = guess(code, "alice", "wrong-20"); });
  std::this_thread::sleep_for(3s);
  Answer meanwhile = guess(code, "alice", "pw-alice");
  held.join();
  EXPECT_EQ(twentieth.status, 401) << twentieth.body;
  EXPECT_GE(twentieth.seconds, 3.0);
  EXPECT_EQ(meanwhile.status, 429) << meanwhile.body;
  attacker_.close();
}

TEST_F(PasswordThrottleTest, LongUserNamesAreNotKept) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer keeps the freed request bodies resident";
#endif
  // A login form's token need only match its cookie. Each wrong password is
  // counted under its user name, here a new one of a megabyte every time.
  const std::string token(64, 'a');
  auto wrong_login = [&](int i) {
    server::ClientRequest rq = server_.form_post(
        "/login", "login_token=" + token + "&password=x&username=" + std::to_string(i) +
                      std::string(1000000, 'n'));
    rq.cookie = "__Host-halvex_login=" + token;
    rq.timeout_seconds = 60;
    std::string error;
    std::optional<server::ClientReply> r = server::https_request(rq, &error);
    return r ? r->status : -1;
  };
  for (int i = 0; i < 2; i++) ASSERT_EQ(wrong_login(i), 401);
  long before_kb = testing::proc_status_kb(server_.pid(), "VmRSS");
  for (int i = 2; i < 18; i++) ASSERT_EQ(wrong_login(i), 401) << i;
  long after_kb = testing::proc_status_kb(server_.pid(), "VmRSS");
  EXPECT_LT(after_kb - before_kb, 8 * 1024);
  attacker_.close();
}

}  // namespace
}  // namespace halvex
