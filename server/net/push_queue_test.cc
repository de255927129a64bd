// A push stream's queue holds at most 8 answers and 8 MiB for a client
// that does not read; what it refuses makes the stream drop the client.
#include "server/net/push_queue.h"

#include <gtest/gtest.h>

namespace halvex::server::net {
namespace {

TEST(PushQueueTest, RefusesPastEightAnswersOrEightMiB) {
  constexpr size_t M = 1u << 20;
  constexpr long kPop = -1;
  const struct {
    const char* what;
    std::vector<long> steps;  // an answer of that many bytes, or kPop
    std::vector<bool> taken;  // per push
  } cases[] = {
      {"eight answers, not nine", {1, 1, 1, 1, 1, 1, 1, 1, 1}, {1, 1, 1, 1, 1, 1, 1, 1, 0}},
      {"one written makes room",
       {1, 1, 1, 1, 1, 1, 1, 1, kPop, 1, 1},
       {1, 1, 1, 1, 1, 1, 1, 1, 1, 0}},
      {"8 MiB exactly, then nothing", {8 * M, 1}, {1, 0}},
      {"one answer past 8 MiB", {8 * M + 1, 1}, {0, 1}},
      {"two halves, then nothing", {4 * M, 4 * M, 1, kPop, 1}, {1, 1, 0, 1}},
      {"empty answers count as answers", {0, 0, 0, 0, 0, 0, 0, 0, 0}, {1, 1, 1, 1, 1, 1, 1, 1, 0}},
  };
  for (const auto& c : cases) {
    PushQueue q;
    std::vector<bool> taken;
    size_t bytes = 0;
    for (long step : c.steps) {
      if (step == kPop) {
        bytes -= q.front().size();
        q.pop();
        continue;
      }
      taken.push_back(q.push(std::string(static_cast<size_t>(step), 'x')));
      if (taken.back()) bytes += static_cast<size_t>(step);
    }
    EXPECT_EQ(taken, c.taken) << c.what;
    EXPECT_EQ(q.bytes(), bytes) << c.what;
    EXPECT_LE(q.size(), kMaxPushQueued) << c.what;
  }
}

}  // namespace
}  // namespace halvex::server::net
