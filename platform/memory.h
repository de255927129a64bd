// Large working buffers (image parts of tens to hundreds of MiB). Backed by
// huge pages where the system offers them, so that the first touch of a
// fresh buffer costs one page fault per 2 MiB instead of one per 4 KiB.
//
// Any thread; no state.

#pragma once

#include <cstddef>

namespace halvex {

// At least `size` bytes, aligned to 2 MiB; null when memory runs out.
// Release with memory_free_large.
void* memory_alloc_large(size_t size);
void memory_free_large(void* block);

}  // namespace halvex
