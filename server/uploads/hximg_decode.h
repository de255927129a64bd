// The server's decoder of hximg parts, the compressed form in which the agent
// uploads image parts. Written from the format's definition alone and strict:
// a buffer is accepted only when its header, block table and data area agree
// exactly with each other. hximg_decode is the whole-buffer form; the server
// places a part's blocks as its pieces arrive (hximg_read_layout,
// hximg_place) and counts the part only once the whole agrees.
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

// Where hximg_place puts the decoded blocks, by their offset in the part;
// each returns false with *error on a failed write.
class HximgOutput {
 public:
  virtual ~HximgOutput() = default;
  virtual bool write(uint64_t offset, const uint8_t* data, size_t length, std::string* error) = 0;
  // `length` zero bytes at `offset`: a sparse output leaves a hole.
  virtual bool zero(uint64_t offset, uint64_t length, std::string* error) = 0;
};

// The header and block table of a part, for placing its blocks while the
// part still arrives in pieces, in any order.
struct HximgLayout {
  uint64_t length = 0;         // the decoded length
  uint64_t data_offset = 0;    // where the data area starts in the part
  std::vector<uint8_t> table;  // the table entries, 12 bytes each
};

// Reads header and table from the first `size` bytes of a part. Checks
// them as hximg_check does; the end of the data area only when `whole`,
// the part's whole length, is given (not 0), since only the whole part
// shows it. Nullopt and *error as above, also when `size` ends inside the
// table. The fill bytes are checked as they are placed.
std::optional<HximgLayout> hximg_read_layout(const uint8_t* head, size_t size, uint64_t max_length,
                                             std::string* error, uint64_t whole = 0);

// Writes to `out` what the part's bytes [offset, offset + size) decode to:
// the pieces of raw blocks that lie among them, and each fill block whose
// byte does; zero blocks are hximg_zero_blocks's. False
// with *error on a zero fill byte or a failed write; `out` may then hold
// some pieces already.
bool hximg_place(const HximgLayout& layout, uint64_t offset, const uint8_t* data, size_t size,
                 HximgOutput& out, std::string* error);

// Writes the part's zero blocks to `out` with zero(); false with *error
// when that fails.
bool hximg_zero_blocks(const HximgLayout& layout, HximgOutput& out, std::string* error);

}  // namespace halvex::server
