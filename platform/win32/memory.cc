// Large buffers straight from VirtualAlloc, committed and aligned to 2 MiB.
// Large pages would need the "Lock pages in memory" privilege, which an
// ordinary desktop process lacks, so these are ordinary pages.

#include "platform/memory.h"

#include <windows.h>

#include <cstdint>

namespace halvex {
namespace {

constexpr size_t kAlign = 2u << 20;

}  // namespace

void* memory_alloc_large(size_t size) {
  if (size == 0 || size > SIZE_MAX - kAlign) return nullptr;
  // Reserve enough to find an aligned start, give it back, and take the
  // aligned range; another thread may take that range in between, so try
  // a few times.
  for (int attempt = 0; attempt < 8; attempt++) {
    void* probe = ::VirtualAlloc(nullptr, size + kAlign, MEM_RESERVE, PAGE_NOACCESS);
    if (probe == nullptr) return nullptr;
    uintptr_t aligned = (reinterpret_cast<uintptr_t>(probe) + kAlign - 1) & ~(kAlign - 1);
    ::VirtualFree(probe, 0, MEM_RELEASE);
    void* block = ::VirtualAlloc(reinterpret_cast<void*>(aligned), size, MEM_RESERVE | MEM_COMMIT,
                                 PAGE_READWRITE);
    if (block != nullptr) return block;
  }
  return nullptr;
}

void memory_free_large(void* block) {
  if (block != nullptr) ::VirtualFree(block, 0, MEM_RELEASE);
}

}  // namespace halvex
