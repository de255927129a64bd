// The server's way of decoding uploaded parts, placing each piece's blocks
// as it arrives, in any order, against the whole-buffer decoder on the same
// bytes: both accept exactly the same inputs and give the same output; a
// rejection always says why; a part accepted whole is accepted from its
// head alone. The last input byte sets the piece size and order. Inputs
// that start with 'M' are a recipe for parts of 1 MiB blocks (see
// fuzz_hximg_decode), encoded by hand so that the block table is reached
// with entries of every type.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "server/uploads/hximg_decode.h"

using halvex::fuzz::check;

namespace {

constexpr uint64_t kMiB = 1048576;
constexpr uint64_t kLimit = 2 * kMiB + 4096;

void u32(std::string* s, uint32_t v) {
  for (int i = 0; i < 4; i++) s->push_back(static_cast<char>(v >> (8 * i)));
}

// 'M', then per block: a kind byte (zero, fill, raw) and for fill the value;
// the rest of the input is the raw bytes and the tail. Bytes past the kinds
// may be cut or damaged by the input itself.
std::string recipe(const uint8_t* data, size_t size) {
  const size_t blocks = 1 + (size > 1 ? data[1] % 2 : 0);
  std::string head = "HXIM", table, area;
  const uint64_t length = blocks * kMiB;
  u32(&head, 0x04000001);
  u32(&head, static_cast<uint32_t>(length));
  u32(&head, 0);
  u32(&head, static_cast<uint32_t>(blocks));
  u32(&head, 32);
  u32(&head, static_cast<uint32_t>(32 + 12 * blocks));
  u32(&head, 0);
  for (size_t k = 0; k < blocks; k++) {
    const uint8_t kind = 2 + k < size ? data[2 + k] % 3 : 0;
    const uint8_t type = kind == 0 ? 0 : kind == 1 ? 3 : 1;
    table.push_back(static_cast<char>(type));
    table.append(3, '\0');
    u32(&table, type == 0 ? 0 : static_cast<uint32_t>(area.size()));
    u32(&table, type == 0 ? 0 : type == 3 ? 1 : static_cast<uint32_t>(kMiB));
    if (type == 3) area.push_back(static_cast<char>(kind | 0x40));
    if (type == 1) area.append(kMiB, static_cast<char>(k + 1));
  }
  std::string out = head + table + area;
  // The input's tail overwrites the start of the encoded part, so that
  // damage lands in the header and table.
  for (size_t i = 2 + blocks, j = 0; i < size && j < out.size(); i++, j++)
    out[j] ^= static_cast<char>(data[i]);
  return out;
}

// Memory as the image file; starts as 0x5A, so a zero block not written
// shows.
class MemoryOutput : public halvex::server::HximgOutput {
 public:
  explicit MemoryOutput(uint64_t length) : bytes(length, 0x5A) {}
  bool write(uint64_t offset, const uint8_t* data, size_t length, std::string*) override {
    std::copy(data, data + length, bytes.begin() + static_cast<ptrdiff_t>(offset));
    return true;
  }
  bool zero(uint64_t offset, uint64_t length, std::string*) override {
    std::fill_n(bytes.begin() + static_cast<ptrdiff_t>(offset), length, 0);
    return true;
  }
  std::vector<uint8_t> bytes;
};

// Places `part` in pieces of `piece` bytes, first to last or last to first.
std::optional<std::vector<uint8_t>> place(const std::string& part, size_t piece, bool backwards,
                                          std::string* error) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(part.data());
  std::optional<halvex::server::HximgLayout> layout =
      halvex::server::hximg_read_layout(bytes, part.size(), kLimit, error, part.size());
  if (!layout) return std::nullopt;
  MemoryOutput out(layout->length);
  const size_t pieces = (part.size() + piece - 1) / piece;
  for (size_t k = 0; k < pieces; k++) {
    const size_t start = (backwards ? pieces - 1 - k : k) * piece;
    const size_t n = std::min(piece, part.size() - start);
    if (!halvex::server::hximg_place(*layout, start, bytes + start, n, out, error))
      return std::nullopt;
  }
  if (!halvex::server::hximg_zero_blocks(*layout, out, error)) return std::nullopt;
  return out.bytes;
}

void check_same(const std::string& part, uint8_t how) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(part.data());
  std::string memory_error, placed_error;
  std::optional<std::vector<uint8_t>> whole =
      halvex::server::hximg_decode(bytes, part.size(), kLimit, &memory_error);
  const size_t piece = 1 + static_cast<size_t>(how) * 4099;
  std::optional<std::vector<uint8_t>> placed = place(part, piece, how % 2 != 0, &placed_error);
  check(whole.has_value() == placed.has_value(), "both decoders accept the same parts");
  if (!placed) {
    check(placed_error.rfind("hximg: ", 0) == 0, "rejections are prefixed");
    return;
  }
  check(*placed == *whole, "both decoders give the same bytes");
  std::string error;
  check(
      halvex::server::hximg_read_layout(bytes, std::min<size_t>(part.size(), 4096), kLimit, &error)
          .has_value(),
      "a part accepted whole is accepted from its head");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t how = size > 0 ? data[size - 1] : 0;
  if (size >= 1 && data[0] == 'M') {
    check_same(recipe(data, size), how);
  } else {
    check_same(std::string(reinterpret_cast<const char*>(data), size), how);
  }
  return 0;
}
