#include "server/admin/throttle.h"

#include <gtest/gtest.h>

namespace halvex::server {
namespace {

TEST(ThrottleTest, WaitGrowsPastTheFreeFailuresUpToTheCap) {
  struct Case {
    int failures;
    int64_t ms;
  };
  const Case cases[] = {{1, 0},     {10, 0},     {11, 7},     {18, 1000},  {19, 2000},
                        {20, 4000}, {23, 32000}, {24, 60000}, {60, 60000}, {1000, 60000}};
  for (const Case& c : cases) EXPECT_EQ(Throttle::delay_after(c.failures), c.ms) << c.failures;
}

TEST(ThrottleTest, KeysCountApartAndAreForgotten) {
  Throttle t;
  int64_t now = 1000000;
  for (int i = 0; i < 20; i++) t.failure("user:a", now);
  EXPECT_EQ(t.wait_ms("user:a", now), 4000);
  EXPECT_EQ(t.wait_ms("user:a", now + 1000), 3000);
  EXPECT_EQ(t.wait_ms("user:b", now), 0);
  // Quiet for long enough: the count starts again.
  int64_t later = now + Throttle::kForgetAfterMs + 1;
  EXPECT_EQ(t.failure("user:a", later), 0);
  for (int i = 0; i < 20; i++) t.failure("user:a", later);
  t.success("user:a");
  EXPECT_EQ(t.wait_ms("user:a", later), 0);
}

// Attempts count when they start: ones sent side by side, before any of
// them has an outcome, are refused past the free failures all the same,
// and a success takes its own count back.
TEST(ThrottleTest, AttemptsCountBeforeTheirOutcome) {
  Throttle t;
  const int64_t now = 1000000;
  const std::vector<std::string> keys{"user:a", "addr:x"};
  int64_t delay = -1;
  for (int i = 1; i <= Throttle::kFreeFailures; i++) ASSERT_EQ(t.begin(keys, now, &delay), 0) << i;
  EXPECT_EQ(delay, 0);
  ASSERT_EQ(t.begin(keys, now, &delay), 0);
  EXPECT_EQ(delay, Throttle::delay_after(Throttle::kFreeFailures + 1));
  EXPECT_EQ(t.begin(keys, now, &delay), 7);  // in flight: the next one waits
  EXPECT_EQ(t.begin({"user:b", "addr:x"}, now, &delay), 7);

  t.success("user:a");
  t.refund("addr:x");  // back to the free failures
  EXPECT_EQ(t.begin({"user:b", "addr:x"}, now, &delay), 0);
  EXPECT_EQ(delay, Throttle::delay_after(Throttle::kFreeFailures + 1));
  t.refund("addr:x");
  t.refund("addr:x");
  EXPECT_EQ(t.wait_ms("addr:x", now), 0);
}

TEST(ThrottleTest, TableStaysBounded) {
  Throttle t;
  for (size_t i = 0; i < Throttle::kMaxKeys + 10; i++)
    t.failure("addr:" + std::to_string(i), static_cast<int64_t>(i));
  // The newest key is still counted after the table trimmed itself.
  std::string last = "addr:" + std::to_string(Throttle::kMaxKeys + 9);
  for (int i = 0; i < 19; i++) t.failure(last, static_cast<int64_t>(Throttle::kMaxKeys + 9));
  EXPECT_GT(t.wait_ms(last, static_cast<int64_t>(Throttle::kMaxKeys + 9)), 0);
}

}  // namespace
}  // namespace halvex::server
