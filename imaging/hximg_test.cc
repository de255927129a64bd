#include "imaging/hximg.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/codec.h"
#include "imaging/part_queue.h"
#include "tests/support/eventually.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;

constexpr uint64_t kMiB = 1048576;

Bytes random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

// Hex text as hex_encode writes it, from a literal spaced for reading.
std::string squeeze(std::string text) {
  std::erase(text, ' ');
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

struct Encoded {
  Bytes bytes;
  bool ok = false;
};

Encoded encode(const Bytes& input) {
  uint64_t length = 0;
  PartBuffer out = hximg_encode(input.data(), input.size(), &length);
  if (!out) return {};
  return {Bytes(out.get(), out.get() + length), true};
}

// Header and table written out by hand from the layout, byte for byte; the
// data area follows them.
struct Golden {
  const char* name;
  Bytes input;
  const char* head;  // header + block table, hex
  Bytes area;        // the expected data area
};

TEST(HximgEncodeTest, GoldenLayouts) {
  Bytes mib_ab_then_0(kMiB + 1, 0xAB);
  mib_ab_then_0.back() = 0x00;
  const Bytes rnd = random_bytes(kMiB, 1);
  Bytes mixed = rnd;                     // block 0: random, raw
  mixed.resize(2 * kMiB, 0x00);          // block 1: zero
  mixed.insert(mixed.end(), {9, 9, 8});  // block 2: 3 bytes, raw
  Bytes mixed_area = rnd;
  mixed_area.insert(mixed_area.end(), {9, 9, 8});

  const Golden cases[] = {
      {"empty", {}, "4858494D 01000004 0000000000000000 00000000 20000000 20000000 00000000", {}},
      {"one non-zero byte",
       {0x7F},
       "4858494D 01000004 0100000000000000 01000000 20000000 2C000000 00000000"
       " 03000000 00000000 01000000",
       {0x7F}},
      {"three bytes",
       {0x01, 0x02, 0x03},
       "4858494D 01000004 0300000000000000 01000000 20000000 2C000000 00000000"
       " 01000000 00000000 03000000",
       {0x01, 0x02, 0x03}},
      {"1 MiB of 0xAB, then one zero",
       mib_ab_then_0,
       "4858494D 01000004 0100100000000000 02000000 20000000 38000000 00000000"
       " 03000000 00000000 01000000  00000000 00000000 00000000",
       {0xAB}},
      {"random, zero, short raw", mixed,
       "4858494D 01000004 0300200000000000 03000000 20000000 44000000 00000000"
       " 01000000 00000000 00001000  00000000 00000000 00000000  01000000 00001000 03000000",
       mixed_area},
  };
  for (const Golden& c : cases) {
    SCOPED_TRACE(c.name);
    Encoded e = encode(c.input);
    ASSERT_TRUE(e.ok);
    const std::string head = squeeze(c.head);
    ASSERT_EQ(e.bytes.size(), head.size() / 2 + c.area.size());
    EXPECT_EQ(hex_encode(e.bytes.data(), head.size() / 2), head);
    EXPECT_TRUE(std::equal(c.area.begin(), c.area.end(), e.bytes.begin() + head.size() / 2))
        << "data area differs";
  }
}

uint32_t u32_at(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// Block types as the encoder must choose them: a block is zero or fill only
// when every byte equals the first. The difference sits at the very ends of
// the block and around the edges of the encoder's compare steps (a 64-byte
// head from the second byte on, then 4096-byte runs).
TEST(HximgEncodeTest, BlockTypeFromFirstDifference) {
  struct Case {
    uint64_t length;
    uint8_t fill;
    int64_t differ_at;  // -1: all bytes equal
    uint8_t want_type;
  };
  const Case cases[] = {
      {kMiB, 0x00, -1, HXIMG_BLOCK_ZERO},      {kMiB, 0xFF, -1, HXIMG_BLOCK_FILL},
      {kMiB, 0x01, -1, HXIMG_BLOCK_FILL},      {kMiB, 0x00, 0, HXIMG_BLOCK_RAW},
      {kMiB, 0x00, 1, HXIMG_BLOCK_RAW},        {kMiB, 0xFF, 64, HXIMG_BLOCK_RAW},
      {kMiB, 0x00, 65, HXIMG_BLOCK_RAW},       {kMiB, 0x80, 66, HXIMG_BLOCK_RAW},
      {kMiB, 0x00, 4160, HXIMG_BLOCK_RAW},     {kMiB, 0x00, 4161, HXIMG_BLOCK_RAW},
      {kMiB, 0x00, 4162, HXIMG_BLOCK_RAW},     {kMiB, 0x00, kMiB - 1, HXIMG_BLOCK_RAW},
      {kMiB, 0x22, kMiB - 2, HXIMG_BLOCK_RAW}, {300, 0x00, 299, HXIMG_BLOCK_RAW},
      {66, 0x00, 65, HXIMG_BLOCK_RAW},         {66, 0x00, -1, HXIMG_BLOCK_ZERO},
      {65, 0x10, 64, HXIMG_BLOCK_RAW},         {65, 0x10, -1, HXIMG_BLOCK_FILL},
      {4162, 0x10, 4161, HXIMG_BLOCK_RAW},     {4163, 0x10, -1, HXIMG_BLOCK_FILL},
      {2, 0x00, 1, HXIMG_BLOCK_RAW},           {2, 0x05, -1, HXIMG_BLOCK_FILL},
      {1, 0x00, -1, HXIMG_BLOCK_ZERO},         {1, 0xFE, -1, HXIMG_BLOCK_FILL},
  };
  for (const Case& c : cases) {
    for (uint8_t flip : {0x01, 0x80}) {
      SCOPED_TRACE(::testing::Message() << "length " << c.length << " fill " << int(c.fill)
                                        << " differ at " << c.differ_at << " flip " << int(flip));
      Bytes input(c.length, c.fill);
      if (c.differ_at >= 0) input[c.differ_at] ^= flip;
      Encoded e = encode(input);
      ASSERT_TRUE(e.ok);
      EXPECT_EQ(e.bytes[32], c.want_type);
      const uint32_t stored = u32_at(e.bytes, 40);
      const uint64_t want_stored = c.want_type == HXIMG_BLOCK_RAW    ? c.length
                                   : c.want_type == HXIMG_BLOCK_FILL ? 1
                                                                     : 0;
      EXPECT_EQ(stored, want_stored);
      EXPECT_EQ(e.bytes.size(), 44 + want_stored);
      if (c.want_type == HXIMG_BLOCK_RAW) {
        EXPECT_TRUE(std::equal(input.begin(), input.end(), e.bytes.begin() + 44));
      }
      if (c.want_type == HXIMG_BLOCK_FILL) {
        EXPECT_EQ(e.bytes[44], c.fill);
      }
    }
  }
}

// From the format's list of cases: 3 MiB, the middle all 0xFF; random data
// grows by exactly the header and table.
TEST(HximgEncodeTest, SizesOfMixedAndRandomParts) {
  Bytes input = random_bytes(3 * kMiB, 2);
  std::fill(input.begin() + kMiB, input.begin() + 2 * kMiB, 0xFF);
  Encoded e = encode(input);
  ASSERT_TRUE(e.ok);
  EXPECT_EQ(e.bytes.size(), 32 + 36 + 2 * kMiB + 1);
  EXPECT_EQ(e.bytes[32 + 12], HXIMG_BLOCK_FILL);
  EXPECT_EQ(u32_at(e.bytes, 32 + 12 + 4), kMiB);
  EXPECT_EQ(u32_at(e.bytes, 32 + 12 + 8), 1u);

  for (uint64_t length : {kMiB - 1, kMiB, 5 * kMiB + 1}) {
    Encoded r = encode(random_bytes(length, 3));
    ASSERT_TRUE(r.ok);
    const uint64_t n = (length + kMiB - 1) / kMiB;
    EXPECT_EQ(r.bytes.size(), length + 32 + 12 * n) << length;
  }
}

// Blocks the reader left unwritten because the source has a hole there
// are zero blocks whatever the buffer holds: the same encoding as the
// zeroed part, so stale bytes of a recycled buffer never reach the image.
TEST(HximgEncodeTest, BlocksKnownZeroAreNotLookedAt) {
  Bytes stale = random_bytes(3 * kMiB + 7, 4);
  Bytes zeroed = stale;
  std::fill(zeroed.begin(), zeroed.begin() + kMiB, 0);
  std::fill(zeroed.begin() + 2 * kMiB, zeroed.end(), 0);
  const std::vector<bool> zero_blocks = {true, false, true, true};
  uint64_t length = 0;
  PartBuffer out = hximg_encode(stale.data(), stale.size(), &length, &zero_blocks);
  ASSERT_NE(out, nullptr);
  Encoded expected = encode(zeroed);
  ASSERT_TRUE(expected.ok);
  EXPECT_TRUE(Bytes(out.get(), out.get() + length) == expected.bytes);
}

// 4 GiB of raw blocks, a data area of exactly 2^32 bytes: one too many for
// the format's 32-bit offsets. Only the bytes the encoder reads of a raw
// block are written, so about 16 MiB of real memory is used. Null when the
// address space is not available.
constexpr uint64_t k4GiB = 4096 * kMiB;
PartBuffer raw_4gib(uint64_t size = k4GiB) {
  // Plain heap memory, not a pooled (huge-page) buffer: only the touched
  // 4 KiB pages may become resident.
  PartBuffer input(static_cast<uint8_t*>(std::malloc(size)));
  for (uint64_t i = 0; input && i < size; i += kMiB) {
    std::memset(&input[i], 0x5A, 512);
    input[i + 1] = 0;
  }
  return input;
}

// The encoder returns nothing rather than wrap an offset.
TEST(HximgEncodeTest, DataAreaOf4GiBIsRefused) {
  PartBuffer input = raw_4gib();
  if (!input) GTEST_SKIP() << "4 GiB of address space not available";
  uint64_t encoded_length = 12345;
  EXPECT_EQ(hximg_encode(input.get(), k4GiB, &encoded_length), nullptr);
  EXPECT_EQ(encoded_length, 12345u) << "the out argument changed on failure";
}

std::unique_ptr<ImagingPart> raw_part(int32_t number, const Bytes& bytes) {
  auto part = std::make_unique<ImagingPart>();
  part->bytes = part_buffer_alloc(bytes.size());
  std::copy(bytes.begin(), bytes.end(), part->bytes.get());
  part->length = bytes.size();
  part->part_number = number;
  part->total_parts = 3;
  part->uncompressed_size = bytes.size();
  return part;
}

// The encoder stage on its own thread between two real queues.
class HximgStageTest : public ::testing::Test {
 protected:
  void start() {
    stage_ = std::thread([this] {
      hximg_encode_stage(raw_.get(), encoded_.get(), cancel_);
      stage_done_ = true;
    });
  }
  void TearDown() override {
    if (stage_.joinable()) stage_.join();
  }
  std::unique_ptr<PartQueue> raw_ = PartQueue::create(2);
  std::unique_ptr<PartQueue> encoded_ = PartQueue::create(3);
  std::atomic<bool> cancel_{false};
  std::atomic<bool> stage_done_{false};
  std::thread stage_;
};

// Each part leaves encoded, tagged, with its raw length kept, in order, and
// logs its line; the end marker follows.
TEST_F(HximgStageTest, EncodesEveryPartAndPassesTheEndMarkerOn) {
  // The last one is two fill blocks.
  const Bytes inputs[] = {Bytes(kMiB, 0), {1, 2, 3}, {}, Bytes(kMiB + 1, 0xAB)};
  const char* lines[] = {
      "INFO ]   Part 1: hximg 1.0 MB -> 44 B (100.0% saved)",
      "INFO ]   Part 2: hximg 3 B -> 47 B (-1466.7% saved)",
      "INFO ]   Part 3: hximg 0 B -> 32 B (0.0% saved)",
      "INFO ]   Part 4: hximg 1.0 MB -> 58 B (100.0% saved)",
  };
  ::testing::internal::CaptureStderr();
  start();
  std::thread reader([&] {
    for (int32_t i = 0; i < 4; i++) raw_->push(raw_part(i + 1, inputs[i]));
    raw_->push(nullptr);
  });
  for (int32_t i = 0; i < 4; i++) {
    std::unique_ptr<ImagingPart> part = encoded_->pop();
    ASSERT_NE(part, nullptr);
    EXPECT_EQ(part->part_number, i + 1);
    EXPECT_EQ(part->total_parts, 3);
    EXPECT_EQ(part->format, "hximg");
    EXPECT_EQ(part->uncompressed_size, inputs[i].size());
    Encoded want = encode(inputs[i]);
    EXPECT_EQ(Bytes(part->bytes.get(), part->bytes.get() + part->length), want.bytes);
  }
  EXPECT_EQ(encoded_->pop(), nullptr);
  reader.join();
  stage_.join();
  const std::string log = ::testing::internal::GetCapturedStderr();
  for (const char* line : lines) {
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
  }
}

// A part too large for the format's offsets goes on raw and untagged, with
// the warning, and with zeros where the reader skipped a hole.
TEST_F(HximgStageTest, PartThatCannotBeEncodedGoesOnRaw) {
  auto part = std::make_unique<ImagingPart>();
  // One block more than 4 GiB, left unwritten by the reader (a hole).
  constexpr uint64_t kLength = k4GiB + kMiB;
  part->bytes = raw_4gib(kLength);
  if (!part->bytes) GTEST_SKIP() << "4 GiB of address space not available";
  part->length = part->uncompressed_size = kLength;
  part->part_number = 9;
  part->zero_blocks.assign(4097, false);
  part->zero_blocks[4096] = true;
  uint8_t* bytes = part->bytes.get();
  ::testing::internal::CaptureStderr();
  start();
  raw_->push(std::move(part));
  raw_->push(nullptr);
  std::unique_ptr<ImagingPart> out = encoded_->pop();
  EXPECT_EQ(encoded_->pop(), nullptr);
  stage_.join();
  const std::string log = ::testing::internal::GetCapturedStderr();
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->bytes.get(), bytes);
  EXPECT_EQ(out->length, kLength);
  EXPECT_FALSE(out->format.has_value());
  EXPECT_EQ(out->bytes[k4GiB + 1], 0) << "a hole sent raw must be zeros";
  EXPECT_TRUE(out->zero_blocks.empty());
  EXPECT_NE(log.find("WARN ]   Part 9: hximg encode failed, sending raw"), std::string::npos)
      << log;
}

// Cancel while both queues are full and the reader and the encoder are both
// blocked in push(): the encoder finishes the part it holds, discards all the
// rest, and every thread ends; the consumer sees exactly the parts encoded
// before the cancel, then the end marker.
TEST_F(HximgStageTest, CancelWithBothQueuesFullEndsEveryThread) {
  constexpr int32_t kParts = 50;
  std::atomic<int32_t> pushed{0};
  std::atomic<bool> reader_done{false}, release{false}, uploader_done{false};
  std::vector<int32_t> uploaded;
  start();
  std::thread reader([&] {
    for (int32_t i = 1; i <= kParts; i++, pushed++) {
      raw_->push(raw_part(i, Bytes(16, static_cast<uint8_t>(i))));
    }
    raw_->push(nullptr);
    reader_done = true;
  });
  std::thread uploader([&] {
    while (!release) std::this_thread::sleep_for(1ms);
    while (std::unique_ptr<ImagingPart> part = encoded_->pop()) {
      uploaded.push_back(part->part_number);
    }
    uploader_done = true;
  });
  // Full: 3 parts in the encoded queue, one held by the encoder, 2 in the raw
  // queue; the reader is stuck on its 7th push.
  testing::eventually([&] { return pushed >= 6; }, 10s, 1ms);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(pushed, 6);
  EXPECT_FALSE(reader_done);
  EXPECT_FALSE(stage_done_);

  cancel_ = true;
  release = true;
  auto all_done = [&] { return reader_done && stage_done_ && uploader_done; };
  ASSERT_TRUE(testing::eventually(all_done, 20s, 1ms))
      << "still blocked: reader " << !reader_done << " encoder " << !stage_done_ << " uploader "
      << !uploader_done;
  reader.join();
  uploader.join();
  EXPECT_EQ(uploaded, (std::vector<int32_t>{1, 2, 3, 4}));
}

// A cancel seen before the first part: nothing is encoded, but the stage
// still drains the reader's parts and passes the end marker on.
TEST_F(HximgStageTest, CancelledBeforeStartPassesOnlyTheEndMarker) {
  cancel_ = true;
  start();
  std::thread reader([&] {
    for (int32_t i = 1; i <= 10; i++) raw_->push(raw_part(i, {1, 2}));
    raw_->push(nullptr);
  });
  EXPECT_EQ(encoded_->pop(), nullptr);
  reader.join();
}

}  // namespace
}  // namespace halvex
