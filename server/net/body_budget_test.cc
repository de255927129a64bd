#include "server/net/body_budget.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace halvex::server::net {
namespace {

TEST(BodyBudgetTest, TakesWhatFitsAndNoMore) {
  BodyBudget budget(100);
  EXPECT_FALSE(budget.take(101));
  EXPECT_FALSE(budget.take(UINT64_MAX));
  EXPECT_TRUE(budget.take(60));
  EXPECT_FALSE(budget.take(41));
  EXPECT_FALSE(budget.take(UINT64_MAX - 10));  // would wrap past the limit
  EXPECT_TRUE(budget.take(40));
  EXPECT_EQ(budget.held(), 100u);
  budget.give_back(100);
  EXPECT_EQ(budget.held(), 0u);
}

TEST(BodyBudgetTest, LeaseGivesItsBytesBack) {
  BodyBudget budget(100);
  {
    BodyLease a, b;
    EXPECT_TRUE(a.take(budget, 70));
    EXPECT_FALSE(b.take(budget, 31));
    EXPECT_FALSE(b.held());
    EXPECT_TRUE(a.take(budget, 20));  // a lease taken again first lets go of its old bytes
    EXPECT_EQ(budget.held(), 20u);
    EXPECT_TRUE(b.take(budget, 80));
    a.release();
    a.release();  // twice gives back once
    EXPECT_EQ(budget.held(), 80u);
  }  // b, destroyed holding bytes, gives them back
  EXPECT_EQ(budget.held(), 0u);
}

}  // namespace
}  // namespace halvex::server::net
