#include "imaging/part_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace halvex {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<ImagingPart> make_part(int32_t number) {
  auto part = std::make_unique<ImagingPart>();
  part->part_number = number;
  return part;
}

// How long a thread that should block is given to (wrongly) get through.
constexpr auto kBlockedWindow = 100ms;

TEST(PartQueueTest, CreateRejectsCapacityBelowOne) {
  for (int32_t capacity : {0, -1, INT32_MIN}) {
    EXPECT_EQ(PartQueue::create(capacity), nullptr) << capacity;
  }
  for (int32_t capacity : {1, 2, 3}) {
    std::unique_ptr<PartQueue> queue = PartQueue::create(capacity);
    ASSERT_NE(queue, nullptr);
    EXPECT_EQ(queue->capacity(), capacity);
  }
}

// Interleaved pushes and pops walk the indices round the slots many times;
// every part comes out once, in order, with its contents.
TEST(PartQueueTest, FirstInFirstOutAcrossWrapAround) {
  for (int32_t capacity : {1, 2, 3, 5}) {
    std::unique_ptr<PartQueue> queue = PartQueue::create(capacity);
    int32_t next_in = 0, next_out = 0;
    for (int round = 0; round < 20; round++) {
      const int32_t batch = 1 + round % capacity;
      for (int32_t k = 0; k < batch; k++) queue->push(make_part(next_in++));
      for (int32_t k = 0; k < batch; k++) {
        std::unique_ptr<ImagingPart> part = queue->pop();
        ASSERT_NE(part, nullptr);
        EXPECT_EQ(part->part_number, next_out++) << "capacity " << capacity;
      }
    }
  }
}

TEST(PartQueueTest, EndMarkerComesAfterTheQueuedParts) {
  std::unique_ptr<PartQueue> queue = PartQueue::create(3);
  queue->push(make_part(1));
  queue->push(make_part(2));
  queue->push(nullptr);
  EXPECT_EQ(queue->pop()->part_number, 1);
  EXPECT_EQ(queue->pop()->part_number, 2);
  EXPECT_EQ(queue->pop(), nullptr);
}

TEST(PartQueueTest, PushBlocksWhileFullUntilOnePop) {
  std::unique_ptr<PartQueue> queue = PartQueue::create(2);
  queue->push(make_part(1));
  queue->push(make_part(2));
  std::atomic<bool> pushed{false};
  std::thread producer([&] {
    queue->push(make_part(3));
    pushed = true;
  });
  std::this_thread::sleep_for(kBlockedWindow);
  EXPECT_FALSE(pushed) << "a third push into a queue of two went through";
  EXPECT_EQ(queue->pop()->part_number, 1);
  producer.join();
  EXPECT_TRUE(pushed);
  EXPECT_EQ(queue->pop()->part_number, 2);
  EXPECT_EQ(queue->pop()->part_number, 3);
}

TEST(PartQueueTest, PopBlocksWhileEmptyUntilAPush) {
  std::unique_ptr<PartQueue> queue = PartQueue::create(2);
  std::atomic<int32_t> got{-1};
  std::thread consumer([&] { got = queue->pop()->part_number; });
  std::this_thread::sleep_for(kBlockedWindow);
  EXPECT_EQ(got, -1) << "pop on an empty queue returned";
  queue->push(make_part(4));
  consumer.join();
  EXPECT_EQ(got, 4);
}

// Several producers and consumers through a queue of two: nothing is lost or
// duplicated, each producer's parts keep their order, and one end marker per
// consumer ends every consumer.
TEST(PartQueueTest, ManyProducersAndConsumers) {
  constexpr int kProducers = 4, kConsumers = 3, kEach = 2000;
  std::unique_ptr<PartQueue> queue = PartQueue::create(2);
  std::vector<std::vector<int32_t>> seen(kConsumers);
  std::vector<std::thread> consumers, producers;
  for (int c = 0; c < kConsumers; c++) {
    consumers.emplace_back([&, c] {
      while (std::unique_ptr<ImagingPart> part = queue->pop()) seen[c].push_back(part->part_number);
    });
  }
  for (int p = 0; p < kProducers; p++) {
    producers.emplace_back([&, p] {
      for (int k = 0; k < kEach; k++) queue->push(make_part(p * kEach + k));
    });
  }
  for (std::thread& t : producers) t.join();
  for (int c = 0; c < kConsumers; c++) queue->push(nullptr);
  for (std::thread& t : consumers) t.join();

  std::vector<int> count(kProducers * kEach, 0);
  for (const std::vector<int32_t>& list : seen) {
    std::vector<int32_t> last(kProducers, -1);
    for (int32_t n : list) {
      count[n]++;
      EXPECT_GT(n, last[n / kEach]) << "parts of one producer out of order";
      last[n / kEach] = n;
    }
  }
  for (int n = 0; n < kProducers * kEach; n++) EXPECT_EQ(count[n], 1) << "part " << n;
}

// Large part buffers come back for the next part of their size class; at
// most two are kept idle, and the job's release hands them all back.
TEST(PartBufferTest, ReusesLargeBuffersWithinBounds) {
  part_buffer_release_idle();
  const uint64_t part = 8 * 1048576;
  uint8_t* first;
  {
    PartBuffer a = part_buffer_alloc(part);
    ASSERT_NE(a, nullptr);
    first = a.get();
    a[part - 1] = 1;  // the whole size is usable
  }
  EXPECT_EQ(part_buffer_idle_count(), 1);
  {
    // An encoded part is a little longer than its raw part: same class.
    PartBuffer b = part_buffer_alloc(part + 32 + 12 * 8);
    EXPECT_EQ(b.get(), first);
    EXPECT_EQ(part_buffer_idle_count(), 0);
    // Far smaller parts do not take a big buffer, and small ones are not kept.
    PartBuffer c = part_buffer_alloc(part / 4);
    PartBuffer d = part_buffer_alloc(1000);
    PartBuffer e = part_buffer_alloc(part);
    EXPECT_NE(c.get(), first);
  }
  EXPECT_EQ(part_buffer_idle_count(), 2);
  part_buffer_release_idle();
  EXPECT_EQ(part_buffer_idle_count(), 0);
}

}  // namespace
}  // namespace halvex
