#include "imaging/part_buffer.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <new>

#include "platform/memory.h"

namespace halvex {

namespace {

constexpr uint64_t kClassStep = 2097152;

std::mutex g_mu;
std::map<uint8_t*, uint64_t> g_capacity;     // every pooled buffer, in use or idle
std::multimap<uint64_t, uint8_t*> g_idle;    // idle ones by capacity

// Room for a part and its encoding (which adds a table of 12 bytes per
// MiB), rounded to a whole step so raw and encoded parts of one job share
// a size class.
uint64_t capacity_for(uint64_t size) {
  return (size + size / 65536 + 4096 + kClassStep - 1) / kClassStep * kClassStep;
}

void free_pooled(uint8_t* bytes) {
  g_capacity.erase(bytes);
  memory_free_large(bytes);
}

}  // namespace

PartBuffer part_buffer_alloc(uint64_t size) {
  if (size < kPartBufferPoolMin) {
    return PartBuffer(static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size)));
  }
  const uint64_t capacity = capacity_for(size);
  if (capacity < size || capacity > SIZE_MAX) return nullptr;
  std::lock_guard<std::mutex> lock(g_mu);
  // The smallest kept buffer that fits, unless it is more than twice the
  // need: a large buffer spent on a small part would force a new large one.
  auto fit = g_idle.lower_bound(size);
  if (fit != g_idle.end() && fit->first <= 2 * capacity) {
    uint8_t* bytes = fit->second;
    g_idle.erase(fit);
    return PartBuffer(bytes);
  }
  auto* bytes = static_cast<uint8_t*>(memory_alloc_large(static_cast<size_t>(capacity)));
  if (!bytes) return nullptr;
  g_capacity.emplace(bytes, capacity);
  return PartBuffer(bytes);
}

void part_buffer_free(uint8_t* bytes) {
  if (!bytes) return;
  std::lock_guard<std::mutex> lock(g_mu);
  auto it = g_capacity.find(bytes);
  if (it == g_capacity.end()) {
    std::free(bytes);
    return;
  }
  g_idle.emplace(it->second, bytes);
  if (static_cast<int>(g_idle.size()) > kMaxIdlePartBuffers) {
    auto smallest = g_idle.begin();
    free_pooled(smallest->second);
    g_idle.erase(smallest);
  }
}

void part_buffer_release_idle() {
  std::lock_guard<std::mutex> lock(g_mu);
  for (auto& [capacity, bytes] : g_idle) free_pooled(bytes);
  g_idle.clear();
}

int part_buffer_idle_count() {
  std::lock_guard<std::mutex> lock(g_mu);
  return static_cast<int>(g_idle.size());
}

}  // namespace halvex
