#include "platform/memory.h"

#include <sys/mman.h>

#include <cstdlib>

namespace halvex {

namespace {

constexpr size_t kHugePage = 2097152;

}  // namespace

void* memory_alloc_large(size_t size) {
  size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
  if (rounded < size) return nullptr;
  void* block = std::aligned_alloc(kHugePage, rounded);
  // Only a hint: without transparent huge pages the buffer still works.
  if (block) ::madvise(block, rounded, MADV_HUGEPAGE);
  return block;
}

void memory_free_large(void* block) { std::free(block); }

}  // namespace halvex
