// Byte buffers of image parts, recycled. A part is tens to hundreds of MiB;
// writing into freshly allocated memory costs a page fault per page, which
// on a virtual machine is slower than encoding the part. So a large buffer
// given back is kept for the next part of the same size class, and the job
// hands the kept ones back to the system when it ends.
//
// At most kMaxIdlePartBuffers buffers are kept, so memory stays bounded by
// the parts alive in the pipeline plus those few.
//
// Threads: any thread may allocate and free; a buffer belongs to one thread
// at a time, like the part that holds it.

#pragma once

#include <cstdint>
#include <memory>

namespace halvex {

constexpr int kMaxIdlePartBuffers = 2;
// Below this, buffers come from the ordinary heap and are not kept.
constexpr uint64_t kPartBufferPoolMin = 2097152;

void part_buffer_free(uint8_t* bytes);

struct PartBufferDeleter {
  void operator()(uint8_t* bytes) const { part_buffer_free(bytes); }
};
using PartBuffer = std::unique_ptr<uint8_t[], PartBufferDeleter>;

// At least `size` bytes (contents unspecified); null when memory runs out.
PartBuffer part_buffer_alloc(uint64_t size);

// Frees the kept buffers. Buffers still in use are not affected.
void part_buffer_release_idle();

// Buffers kept for reuse now (for tests).
int part_buffer_idle_count();

}  // namespace halvex
