// The server's decoder of hximg parts, the compressed form in which the agent
// uploads image parts. Written from the format's definition alone and strict:
// a buffer is accepted only when its header, block table and data area agree
// exactly with each other; then, and only then, the part's bytes come out.
//
// Layout (all integers little-endian):
//   header, 32 bytes: "HXIM", 01 00 00 04, uncompressed length (u64), block
//     count N = ceil(length / 1 MiB) (u32), table offset 32 (u32), data
//     offset 32 + 12 N (u32), reserved 0 (u32);
//   N table entries of 12 bytes: type (u8: 0 zero, 1 raw, 3 fill), three
//     zero bytes, offset into the data area (u32), stored length (u32);
//   data area: the stored bytes back to back in block order, nothing else.
//
// Pure functions; any thread.

#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace halvex::server {

// Checks the whole buffer and returns the uncompressed length it declares.
// On any inconsistency returns nullopt and sets *error to "hximg: <cause>".
// `max_length` caps the declared length: 12 table bytes may stand for 1 MiB
// of output, so without a cap a small upload could demand terabytes.
std::optional<uint64_t> hximg_check(const uint8_t* data, size_t size, uint64_t max_length,
                                    std::string* error);

// hximg_check(), then the decoded part. On failure nothing is decoded:
// nullopt and *error as above.
std::optional<std::vector<uint8_t>> hximg_decode(const uint8_t* data, size_t size,
                                                 uint64_t max_length, std::string* error);

// The same decoding for a part too large to hold twice in memory: reads the
// `size` bytes of the part from `in` (from its current position) and writes
// the decoded bytes to `out` block by block. Header and block table are
// checked whole before anything is written, each block's bytes as they are
// read. Returns the decoded length; on failure nullopt and *error as above
// ("hximg: read failed" or "hximg: write failed" for the streams), and `out`
// may hold a prefix of the output, which the caller discards.
std::optional<uint64_t> hximg_decode_stream(std::istream& in, uint64_t size, uint64_t max_length,
                                            std::ostream& out, std::string* error);

// The checks of header and block table alone, reading only them from `in`:
// the declared length, or nullopt and *error as above. The data area's
// bytes (fill values) are checked when decoding.
std::optional<uint64_t> hximg_check_layout(std::istream& in, uint64_t size, uint64_t max_length,
                                           std::string* error);

// Where hximg_decode_to puts the decoded blocks, by their offset in the
// part; each returns false with *error on a failed write.
class HximgOutput {
 public:
  virtual ~HximgOutput() = default;
  virtual bool write(uint64_t offset, const uint8_t* data, size_t length, std::string* error) = 0;
  // `length` zero bytes at `offset`: a sparse output leaves a hole.
  virtual bool zero(uint64_t offset, uint64_t length, std::string* error) = 0;
};

// hximg_decode_stream() into `out` block by block, zero blocks as zero().
// On failure `out` may hold some blocks already, which the caller discards.
std::optional<uint64_t> hximg_decode_to(std::istream& in, uint64_t size, uint64_t max_length,
                                        HximgOutput& out, std::string* error);

}  // namespace halvex::server
