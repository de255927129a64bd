// The ordered hash queue, the saved digest state and the ingest pool's
// shutdown.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "server/uploads/upload_test_support.h"
#include "server/uploads/image_hash.h"
#include "server/uploads/ingest_pool.h"
#include "tests/support/temp_dir.h"

namespace halvex::server {
namespace {

using halvex::testing::TempDir;

// Parts completed in the order given; the parts hashed, in the order the
// queue handed them out.
std::vector<int64_t> hashed_order(int64_t next, const std::vector<int64_t>& completed) {
  HashOrder order(next);
  std::vector<int64_t> out;
  for (int64_t part : completed) {
    order.done(part, 10);
    while (std::optional<std::pair<int64_t, uint64_t>> p = order.take()) {
      EXPECT_FALSE(order.take()) << "handed out twice";
      out.push_back(p->first);
      order.hashed();
    }
  }
  return out;
}

TEST(HashOrderTest, HandsOutPartsInOrderOnlyOnce) {
  struct Case {
    int64_t next;
    std::vector<int64_t> completed, hashed;
  } cases[] = {
      {1, {1, 2, 3}, {1, 2, 3}},       {1, {3, 2, 1}, {1, 2, 3}},
      {1, {2, 4, 1, 3}, {1, 2, 3, 4}}, {1, {2, 3}, {}},  // part 1 never came
      {3, {1, 2, 4, 3}, {3, 4}},  // resumed after part 2: earlier parts are hashed already
      {1, {1, 1, 2}, {1, 2}},     // a part reported twice is hashed once
  };
  for (const Case& k : cases) EXPECT_EQ(hashed_order(k.next, k.completed), k.hashed);
}

// A digest saved after each part and taken up again, as a restarted server
// does, gives the hash of the whole.
TEST(ImageDigestTest, SavedStateGoesOnWhereItStopped) {
  TempDir dir;
  const std::string a = testing::pattern(1000003, 1), b = testing::pattern(77, 2);
  ImageDigest d;
  d.update(a.data(), a.size());
  std::string error;
  ASSERT_TRUE(hash_progress_save(dir.path(), 2, d, &error)) << error;
  auto [next, loaded] = hash_progress_load(dir.path());
  EXPECT_EQ(next, 2);
  loaded.update(b.data(), b.size());
  EXPECT_EQ(loaded.hex(), testing::sha256_hex(a + b));
  // No saved state, or a broken one: a fresh start.
  hash_progress_drop(dir.path());
  EXPECT_EQ(hash_progress_load(dir.path()).first, 1);
  EXPECT_FALSE(d.set_state(std::string(d.state().size(), '\xff')));
  EXPECT_FALSE(d.set_state("short"));
}

TEST(IngestPoolTest, StopWaitsForRunningTasksAndDropsQueuedOnes) {
  std::atomic<int> ran{0};
  std::atomic<bool> started{false}, release{false};
  auto pool = std::make_unique<IngestPool>(1);
  ASSERT_TRUE(pool->submit([&] {
    started = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ran++;
  }));
  for (int i = 0; i < 5; i++) pool->submit([&] { ran++; });
  while (!started) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::thread stopper([&] { pool->stop(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  release = true;
  stopper.join();
  EXPECT_EQ(ran, 1);
  EXPECT_FALSE(pool->submit([&] { ran++; }));
  pool->wait_idle();  // returns once stopped
  pool.reset();
  EXPECT_EQ(ran, 1);
}

TEST(IngestPoolTest, WaitIdleWaitsForEveryTask) {
  std::atomic<int> ran{0};
  IngestPool pool(2);
  for (int i = 0; i < 50; i++)
    pool.submit([&] {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      ran++;
    });
  pool.wait_idle();
  EXPECT_EQ(ran, 50);
}

}  // namespace
}  // namespace halvex::server
