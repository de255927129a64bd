// The clock's test scale and wait observer.

#include "platform/clock.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/clock_testing.h"

namespace halvex {
namespace {

class ClockTest : public ::testing::Test {
 protected:
  void TearDown() override {
    clock_set_wait_observer_for_testing(nullptr);
    clock_set_time_scale_for_testing(100);
  }
};

TEST_F(ClockTest, ScaledDurations) {
  struct Case {
    double percent;
    uint32_t ms;
    uint32_t expect;
  };
  const Case cases[] = {
      {100, 15000, 15000},
      {100, UINT32_MAX, UINT32_MAX},
      {10, 15000, 1500},
      {10, 250, 25},
      {20, 5000, 1000},
      {0.75, 20000, 150},
      {0, 6000, 0},
      {-5, 6000, 0},                   // a negative scale waits nothing, never wraps
      {1000, UINT32_MAX, UINT32_MAX},  // a longer scale stops at the largest wait
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.percent << "% of " << c.ms);
    clock_set_time_scale_for_testing(c.percent);
    EXPECT_EQ(clock_scaled_ms(c.ms), c.expect);
  }
}

TEST_F(ClockTest, ObserverSeesProductWaits) {
  std::vector<uint32_t> seen;
  clock_set_time_scale_for_testing(0);
  clock_set_wait_observer_for_testing([&seen](uint32_t ms) { seen.push_back(ms); });
  int64_t before = clock_now_ms();
  clock_wait_ms(3000);
  clock_wait_ms(600000);
  EXPECT_EQ(seen, (std::vector<uint32_t>{3000, 600000}));
  EXPECT_GE(clock_now_ms(), before);
  sleep_ms(0);  // unscaled and unobserved
  EXPECT_EQ(seen.size(), 2u);
}

}  // namespace
}  // namespace halvex
