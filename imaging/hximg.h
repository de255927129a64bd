// The hximg chunk format, agent side: every image part is encoded before
// upload. The part is cut into 1 MiB blocks; a block whose bytes are all 0x00
// is stored as nothing, a block of one other repeated value as that one byte,
// and any other block verbatim. Layout (all integers little-endian):
//
//   header, 32 bytes: "HXIM", 01 00 00 04, uncompressed length (u64),
//     block count N (u32), table offset 32 (u32), data offset 32 + 12 N
//     (u32), reserved 0 (u32);
//   block table, N entries of 12 bytes: type (u8), three zero bytes,
//     offset into the data area (u32), stored length (u32);
//   data area: the stored bytes of the blocks, in block order, back to back.
//
// Threads: hximg_encode keeps no state and may run on any thread. The
// encoding stage is one thread per imaging job.

#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "imaging/part_buffer.h"
#include "imaging/part_queue.h"

namespace halvex {

enum HximgBlockType : uint8_t {
  HXIMG_BLOCK_ZERO = 0,  // all bytes 0x00: nothing stored
  HXIMG_BLOCK_RAW = 1,   // stored verbatim
  HXIMG_BLOCK_FILL = 3,  // all bytes one non-zero value: that byte stored
};

constexpr uint64_t kHximgBlockSize = 1048576;
constexpr uint64_t kHximgHeaderLength = 32;
constexpr uint64_t kHximgEntryLength = 12;

// Encodes `length` bytes at `data` (not changed, still the caller's). The
// blocks set in `zero_blocks` (when not null) are zero blocks without being
// looked at: their bytes need not be written. On
// success returns the whole encoded part and stores its length in
// *encoded_length. Returns null, leaving *encoded_length unchanged, when
// memory runs out or when the part does not fit the format's 32-bit fields
// (a data area of 4 GiB or more, or a block table past 4 GiB): the format
// cannot express such a part and wrapping an offset would corrupt the image.
PartBuffer hximg_encode(const uint8_t* data, uint64_t length, uint64_t* encoded_length,
                        const std::vector<bool>* zero_blocks = nullptr);

// The encoder stage of an imaging job. Pops parts from `raw` until the end
// marker, encodes each one and pushes it to `encoded`, then pushes the end
// marker. An encoded part carries the encoded bytes, their length and the
// format "hximg"; a part that cannot be encoded goes on raw, untagged, with
// its zero blocks filled in. Once
// `cancel` is set, every part popped is discarded. Logs one line per part.
void hximg_encode_stage(PartQueue* raw, PartQueue* encoded, const std::atomic<bool>& cancel);

}  // namespace halvex
