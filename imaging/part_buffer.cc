#include "imaging/part_buffer.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <new>

#include "platform/memory.h"

namespace halvex {

namespace {

constexpr uint64_t kClassStep = 2097152;

struct Pool {
  std::mutex mu;
  std::map<uint8_t*, uint64_t> capacity;   // every pooled buffer, in use or idle
  std::multimap<uint64_t, uint8_t*> idle;  // idle ones by capacity
};

// Never destroyed: a part freed by a thread still running at process exit
// must find the pool intact.
Pool& pool() {
  static Pool* p = new Pool;
  return *p;
}

// Room for a part and its encoding (which adds a table of 12 bytes per
// MiB), rounded to a whole step so raw and encoded parts of one job share
// a size class.
uint64_t capacity_for(uint64_t size) {
  return (size + size / 65536 + 4096 + kClassStep - 1) / kClassStep * kClassStep;
}

void free_pooled(uint8_t* bytes) {
  pool().capacity.erase(bytes);
  memory_free_large(bytes);
}

}  // namespace

PartBuffer part_buffer_alloc(uint64_t size) {
  if (size < kPartBufferPoolMin) {
    return PartBuffer(static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size)));
  }
  const uint64_t capacity = capacity_for(size);
  if (capacity < size || capacity > SIZE_MAX) return nullptr;
  std::lock_guard<std::mutex> lock(pool().mu);
  // The smallest kept buffer that fits, unless it is more than twice the
  // need: a large buffer spent on a small part would force a new large one.
  auto fit = pool().idle.lower_bound(size);
  if (fit != pool().idle.end() && fit->first <= 2 * capacity) {
    uint8_t* bytes = fit->second;
    pool().idle.erase(fit);
    return PartBuffer(bytes);
  }
  auto* bytes = static_cast<uint8_t*>(memory_alloc_large(static_cast<size_t>(capacity)));
  if (!bytes) return nullptr;
  pool().capacity.emplace(bytes, capacity);
  return PartBuffer(bytes);
}

void part_buffer_free(uint8_t* bytes) {
  if (!bytes) return;
  std::lock_guard<std::mutex> lock(pool().mu);
  auto it = pool().capacity.find(bytes);
  if (it == pool().capacity.end()) {
    std::free(bytes);
    return;
  }
  pool().idle.emplace(it->second, bytes);
  if (static_cast<int>(pool().idle.size()) > kMaxIdlePartBuffers) {
    auto smallest = pool().idle.begin();
    free_pooled(smallest->second);
    pool().idle.erase(smallest);
  }
}

void part_buffer_release_idle() {
  std::lock_guard<std::mutex> lock(pool().mu);
  for (auto& [capacity, bytes] : pool().idle) free_pooled(bytes);
  pool().idle.clear();
}

int part_buffer_idle_count() {
  std::lock_guard<std::mutex> lock(pool().mu);
  return static_cast<int>(pool().idle.size());
}

}  // namespace halvex
