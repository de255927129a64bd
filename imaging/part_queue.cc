#include "imaging/part_queue.h"

#include <new>

namespace halvex {

std::unique_ptr<PartQueue> PartQueue::create(int32_t capacity) {
  if (capacity < 1) return nullptr;
  std::unique_ptr<std::unique_ptr<ImagingPart>[]> slots(
      new (std::nothrow) std::unique_ptr<ImagingPart>[static_cast<size_t>(capacity)]);
  if (!slots) return nullptr;
  std::unique_ptr<PartQueue> queue(new (std::nothrow) PartQueue(std::move(slots), capacity));
  return queue;
}

void PartQueue::push(std::unique_ptr<ImagingPart> part) {
  std::unique_lock<std::mutex> lock(mu_);
  not_full_.wait(lock, [this] { return count_ < capacity_; });
  slots_[write_index_] = std::move(part);
  write_index_ = (write_index_ + 1) % capacity_;
  count_++;
  // One entry arrived, so one consumer can proceed; waking more would only
  // send the others back to sleep.
  not_empty_.notify_one();
}

std::unique_ptr<ImagingPart> PartQueue::pop() {
  std::unique_lock<std::mutex> lock(mu_);
  not_empty_.wait(lock, [this] { return count_ > 0; });
  std::unique_ptr<ImagingPart> part = std::move(slots_[read_index_]);
  read_index_ = (read_index_ + 1) % capacity_;
  count_--;
  not_full_.notify_one();
  return part;
}

}  // namespace halvex
