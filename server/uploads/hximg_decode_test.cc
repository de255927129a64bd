#include "server/uploads/hximg_decode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace halvex::server {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kMiB = 1048576;
constexpr uint64_t kLimit = 4096 * kMiB;

// A valid part written out by hand from the layout: 2 MiB + 3 bytes as a
// fill block of 0xAB, a zero block and a raw block of 01 02 03.
const Bytes kValid = {
    0x48, 0x58, 0x49, 0x4D, 0x01, 0x00, 0x00, 0x04,                          // 0: magic, format
    0x03, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00,                          // 8: length
    0x03, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00,                          // 16: count, table
    0x44, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,                          // 24: data, reserved
    0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,  // 32: fill
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // 44: zero
    0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,  // 56: raw
    0xAB, 0x01, 0x02, 0x03,                                                  // 68: data area
};

Bytes valid_output() {
  Bytes out(kMiB, 0xAB);
  out.resize(2 * kMiB, 0x00);
  out.insert(out.end(), {1, 2, 3});
  return out;
}

// Memory as the server's image file: starts as 0x5A, so a zero block that
// is not written shows.
class MemoryOutput : public HximgOutput {
 public:
  explicit MemoryOutput(uint64_t length) : bytes(length, 0x5A) {}
  bool write(uint64_t offset, const uint8_t* data, size_t length, std::string* error) override {
    if (full) return (*error = "disk full", false);
    std::copy(data, data + length, bytes.begin() + static_cast<ptrdiff_t>(offset));
    return true;
  }
  bool zero(uint64_t offset, uint64_t length, std::string*) override {
    std::fill_n(bytes.begin() + static_cast<ptrdiff_t>(offset), length, 0);
    return true;
  }
  Bytes bytes;
  bool full = false;
};

// The server's way with the same bytes: the layout from the head, then
// pieces of `piece` bytes placed last to first, then the zero blocks. Its
// output, or nullopt and *error.
std::optional<Bytes> decode_placed(const Bytes& part, uint64_t limit, std::string* error,
                                   size_t piece = 3) {
  std::optional<HximgLayout> layout =
      hximg_read_layout(part.data(), part.size(), limit, error, part.size());
  if (!layout) return std::nullopt;
  MemoryOutput out(layout->length);
  for (size_t end = part.size(); end > 0;) {
    const size_t start = end > piece ? end - piece : 0;
    if (!hximg_place(*layout, start, part.data() + start, end - start, out, error))
      return std::nullopt;
    end = start;
  }
  if (!hximg_zero_blocks(*layout, out, error)) return std::nullopt;
  return out.bytes;
}

// All three readers refuse `part` with the error `want`.
void expect_refused(const Bytes& part, uint64_t limit, const std::string& want) {
  std::string error;
  EXPECT_FALSE(hximg_decode(part.data(), part.size(), limit, &error).has_value());
  EXPECT_EQ(error, want);
  error.clear();
  EXPECT_FALSE(hximg_check(part.data(), part.size(), limit, &error).has_value());
  EXPECT_EQ(error, want) << "check";
  error.clear();
  EXPECT_FALSE(decode_placed(part, limit, &error).has_value());
  EXPECT_EQ(error, want) << "placed";
}

TEST(HximgDecodeTest, DecodesAValidPart) {
  std::string error;
  std::optional<Bytes> out = hximg_decode(kValid.data(), kValid.size(), kLimit, &error);
  ASSERT_TRUE(out.has_value()) << error;
  EXPECT_EQ(*out, valid_output());
  EXPECT_EQ(hximg_check(kValid.data(), kValid.size(), kLimit, &error), 2 * kMiB + 3);
  // The limit is inclusive.
  EXPECT_TRUE(hximg_decode(kValid.data(), kValid.size(), 2 * kMiB + 3, &error).has_value());
  // Pieces that split the fill byte, the table and the raw bytes, or none.
  for (size_t piece :
       {size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{68}, size_t{71}, kValid.size()})
    EXPECT_EQ(decode_placed(kValid, 2 * kMiB + 3, &error, piece), valid_output()) << piece;

  const Bytes empty = {0x48, 0x58, 0x49, 0x4D, 0x01, 0x00, 0x00, 0x04, 0,    0, 0, 0, 0, 0, 0, 0,
                       0,    0,    0,    0,    0x20, 0,    0,    0,    0x20, 0, 0, 0, 0, 0, 0, 0};
  out = hximg_decode(empty.data(), empty.size(), kLimit, &error);
  ASSERT_TRUE(out.has_value()) << error;
  EXPECT_TRUE(out->empty());
}

// A raw block that happens to be uniform is what the encoder never writes,
// but it decodes to one meaning only, so it is accepted.
TEST(HximgDecodeTest, AcceptsUniformRawBlock) {
  Bytes part(kValid.begin(), kValid.begin() + 32);
  part[8] = 0x03;  // length 3
  part[10] = 0x00;
  part[16] = 0x01;  // one block
  part[24] = 0x2C;  // data at 44
  part.insert(part.end(), {0x01, 0, 0, 0, 0, 0, 0, 0, 0x03, 0, 0, 0, 0x07, 0x07, 0x07});
  std::string error;
  EXPECT_EQ(hximg_decode(part.data(), part.size(), kLimit, &error), (Bytes{7, 7, 7})) << error;
}

struct Damage {
  size_t at;
  uint8_t value;
  const char* error;
};

// Every field changed on its own: the exact error, and nothing decoded.
TEST(HximgDecodeTest, RejectsEachDamagedField) {
  const Damage cases[] = {
      {0, 'X', "hximg: bad magic"},
      {3, 'm', "hximg: bad magic"},
      {4, 0x02, "hximg: format word 0x04000002, expected 0x04000001"},
      {7, 0x00, "hximg: format word 0x00000001, expected 0x04000001"},
      {8, 0x04, "hximg: block 2: type 1 stores 3 bytes, expected 4"},
      {8, 0x00, "hximg: block count 3, length 2097152 needs 2"},
      {10, 0x30, "hximg: block count 3, length 3145731 needs 4"},
      {15, 0x80, "hximg: uncompressed length 9223372036856872963 over the limit of 4294967296"},
      {16, 0x04, "hximg: block count 4, length 2097155 needs 3"},
      {19, 0x01, "hximg: block count 16777219, length 2097155 needs 3"},
      {20, 0x21, "hximg: table offset 33, expected 32"},
      {23, 0x01, "hximg: table offset 16777248, expected 32"},
      {24, 0x45, "hximg: data offset 69, expected 68"},
      {28, 0x01, "hximg: reserved header word not zero"},
      {31, 0x80, "hximg: reserved header word not zero"},
      {32, 0x02, "hximg: block 0: unknown type 2"},
      {32, 0x04, "hximg: block 0: unknown type 4"},
      {32, 0xFF, "hximg: block 0: unknown type 255"},
      {33, 0x01, "hximg: block 0: padding not zero"},
      {35, 0x80, "hximg: block 0: padding not zero"},
      {32, 0x00, "hximg: block 0: zero block with offset 0, length 1"},
      {32, 0x01, "hximg: block 0: type 1 stores 1 bytes, expected 1048576"},
      {36, 0x01, "hximg: block 0: offset 1, expected 0"},
      {39, 0x01, "hximg: block 0: offset 16777216, expected 0"},
      {40, 0x02, "hximg: block 0: type 3 stores 2 bytes, expected 1"},
      {43, 0x01, "hximg: block 0: type 3 stores 16777217 bytes, expected 1"},
      {44, 0x03, "hximg: block 1: type 3 stores 0 bytes, expected 1"},
      {44, 0x01, "hximg: block 1: type 1 stores 0 bytes, expected 1048576"},
      {48, 0x05, "hximg: block 1: zero block with offset 5, length 0"},
      {52, 0x01, "hximg: block 1: zero block with offset 0, length 1"},
      {56, 0x00, "hximg: block 2: zero block with offset 1, length 3"},
      {56, 0x03, "hximg: block 2: type 3 stores 3 bytes, expected 1"},
      {58, 0x01, "hximg: block 2: padding not zero"},
      {60, 0x00, "hximg: block 2: offset 0, expected 1"},
      {60, 0x02, "hximg: block 2: offset 2, expected 1"},
      {64, 0x04, "hximg: block 2: type 1 stores 4 bytes, expected 3"},
      {64, 0x02, "hximg: block 2: type 1 stores 2 bytes, expected 3"},
      {68, 0x00, "hximg: block 0: fill byte is zero"},
  };
  for (const Damage& d : cases) {
    Bytes part = kValid;
    ASSERT_NE(part[d.at], d.value) << "no damage at " << d.at;
    part[d.at] = d.value;
    SCOPED_TRACE("byte " + std::to_string(d.at) + " = " + std::to_string(d.value));
    expect_refused(part, kLimit, d.error);
  }
}

// Cut short anywhere, or with bytes added after the data area.
TEST(HximgDecodeTest, RejectsWrongBufferLengths) {
  const std::pair<size_t, const char*> cases[] = {
      {0, "hximg: 0 bytes, shorter than the 32-byte header"},
      {31, "hximg: 31 bytes, shorter than the 32-byte header"},
      {32, "hximg: 32 bytes, the block table ends at 68"},
      {67, "hximg: 67 bytes, the block table ends at 68"},
      {68, "hximg: block 0: stored bytes end at 1, data area holds 0"},
      {69, "hximg: block 2: stored bytes end at 4, data area holds 1"},
      {71, "hximg: block 2: stored bytes end at 4, data area holds 3"},
      {73, "hximg: data area is 1 bytes longer than its blocks"},
      {200, "hximg: data area is 128 bytes longer than its blocks"},
  };
  for (auto [size, want] : cases) {
    Bytes part = kValid;
    part.resize(size, 0x00);
    SCOPED_TRACE(size);
    expect_refused(part, kLimit, want);
  }
}

// Before the whole part is known, only header and table are checked; a
// failed write stops the placing with the output's error.
TEST(HximgDecodeTest, PlacingBeforeThePartIsWhole) {
  std::string error;
  std::optional<HximgLayout> layout = hximg_read_layout(kValid.data(), 68, kLimit, &error);
  ASSERT_TRUE(layout.has_value()) << error;
  EXPECT_FALSE(hximg_read_layout(kValid.data(), 67, kLimit, &error).has_value());
  EXPECT_EQ(error, "hximg: 67 bytes, the block table ends at 68");

  MemoryOutput out(layout->length);
  out.full = true;
  EXPECT_FALSE(hximg_place(*layout, 68, kValid.data() + 68, 4, out, &error));
  EXPECT_EQ(error, "disk full");
  // Bytes of the header and table alone place nothing.
  out.full = false;
  EXPECT_TRUE(hximg_place(*layout, 0, kValid.data(), 68, out, &error));
  EXPECT_EQ(out.bytes, Bytes(layout->length, 0x5A));
}

// A declared length above the caller's cap is refused before anything is
// allocated; a huge block count whose table offset cannot fit 32 bits never
// matches the header field.
TEST(HximgDecodeTest, RejectsLengthsBeyondLimits) {
  expect_refused(kValid, 2 * kMiB + 2,
                 "hximg: uncompressed length 2097155 over the limit of 2097154");

  Bytes part(kValid.begin(), kValid.begin() + 32);
  const uint64_t count = 0x20000000;  // 32 + 12 * count > 2^32
  const uint64_t length = count * kMiB;
  for (int i = 0; i < 8; i++) part[8 + i] = static_cast<uint8_t>(length >> (8 * i));
  for (int i = 0; i < 4; i++) part[16 + i] = static_cast<uint8_t>(count >> (8 * i));
  expect_refused(part, UINT64_MAX, "hximg: data offset 68, expected 6442450976");
}

}  // namespace
}  // namespace halvex::server
