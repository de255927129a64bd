#include "server/admin/sessions.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <set>

namespace halvex::server {
namespace {

class SessionsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_GE(sodium_init(), 0); }
  int64_t now_ = 1'000'000;
  Sessions sessions_{[this] { return now_; }};
};

// Idle and absolute expiry on the server's clock; use keeps a session alive
// up to its absolute end only.
TEST_F(SessionsTest, ExpiresWhenIdleAndAtItsEnd) {
  OperatorSession s = sessions_.create(1, "alice");
  EXPECT_EQ(s.id.size(), 64u);
  EXPECT_NE(s.id, s.csrf);
  now_ += kSessionIdleSeconds - 1;
  ASSERT_TRUE(sessions_.find(s.id));
  now_ += kSessionIdleSeconds - 1;  // idle time counts from the last use
  ASSERT_TRUE(sessions_.find(s.id));
  now_ += kSessionIdleSeconds;
  EXPECT_FALSE(sessions_.find(s.id));

  OperatorSession busy = sessions_.create(1, "alice");
  int64_t end = now_ + kSessionMaxSeconds;
  while (now_ + kSessionIdleSeconds / 2 < end) {
    now_ += kSessionIdleSeconds / 2;
    ASSERT_TRUE(sessions_.find(busy.id)) << end - now_;
  }
  now_ = end;
  EXPECT_FALSE(sessions_.find(busy.id));
}

TEST_F(SessionsTest, FindsOnlyTheExactIdAndEnds) {
  OperatorSession s = sessions_.create(1, "alice");
  std::string near = s.id;
  near.back() = near.back() == '0' ? '1' : '0';
  for (const std::string& id : {std::string(), near, s.id.substr(0, 63), s.id + "0", s.csrf})
    EXPECT_FALSE(sessions_.find(id)) << id;
  std::optional<OperatorSession> found = sessions_.find(s.id);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->username, "alice");
  EXPECT_EQ(found->csrf, s.csrf);
  sessions_.end(s.id);
  EXPECT_FALSE(sessions_.find(s.id));
}

// Logins past the caps push out the least recently used session: the
// table never grows past them, and a user's logins never push out another
// user's sessions while there is room.
TEST_F(SessionsTest, CapsEvictTheLeastRecentlyUsed) {
  OperatorSession bob = sessions_.create(2, "bob");
  std::vector<OperatorSession> alice;
  for (size_t i = 0; i < kMaxSessionsPerUser + 5; i++) {
    now_++;
    alice.push_back(sessions_.create(1, "alice"));
  }
  EXPECT_EQ(sessions_.size(), kMaxSessionsPerUser + 1);
  EXPECT_TRUE(sessions_.find(bob.id));
  EXPECT_FALSE(sessions_.find(alice.front().id));
  EXPECT_TRUE(sessions_.find(alice.back().id));

  for (int64_t user = 3; sessions_.size() < kMaxSessions; user++) sessions_.create(user, "u");
  now_++;
  ASSERT_TRUE(sessions_.find(bob.id));  // bob is now the most recently used
  for (int i = 0; i < 50; i++) sessions_.create(1000 + i, "late");
  EXPECT_EQ(sessions_.size(), kMaxSessions);
  EXPECT_TRUE(sessions_.find(bob.id));
}

}  // namespace
}  // namespace halvex::server
