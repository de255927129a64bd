// The resilient reader against a real file, with read faults injected
// through the platform layer the way a failing disk produces them.

#include "disk/disk_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/block_file_testing.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

using halvex::testing::TempDir;

constexpr uint64_t kSourceSize = 8 * 1048576 + 300;

class DiskReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.path() + "/source.img";
    source_.resize(kSourceSize);
    for (uint64_t i = 0; i < kSourceSize; i++)
      source_[i] = static_cast<uint8_t>(i * 131 + (i >> 9) + 1);
    std::ofstream(path_, std::ios::binary)
        .write(reinterpret_cast<const char*>(source_.data()),
               static_cast<std::streamsize>(source_.size()));
  }
  void TearDown() override { block_file_testing_set_faults({}); }

  std::unique_ptr<DiskReader> open() {
    std::unique_ptr<DiskReader> reader = DiskReader::open(path_);
    EXPECT_NE(reader, nullptr);
    return reader;
  }
  // The source with [offset, offset + length) zeroed, for comparisons.
  std::vector<uint8_t> expected(uint64_t from, uint64_t length, std::vector<ByteRange> zeroed) {
    std::vector<uint8_t> out(source_.begin() + static_cast<long>(from),
                             source_.begin() + static_cast<long>(from + length));
    for (const ByteRange& r : zeroed) std::memset(out.data() + (r.offset - from), 0, r.length);
    return out;
  }

  TempDir dir_;
  std::string path_;
  std::vector<uint8_t> source_;
};

TEST_F(DiskReaderTest, BadSectorsAreZeroFilledAtTheirTrueOffsets) {
  struct Case {
    const char* name;
    uint64_t window_offset, window_length;
    std::vector<BlockFault> faults;
    std::vector<ByteRange> zeroed;  // what must come back as zeros
  };
  const std::vector<Case> cases = {
      {"clean", 0, 4194304, {}, {}},
      {"transient error mended by the retry", 0, 4194304, {{"", 70000, 10, EIO, 1}}, {}},
      {"one bad byte costs its whole sector",
       0,
       4194304,
       {{"", 70000, 1, EIO, -1}},
       {{69632, 512}}},
      {"range across sectors", 0, 4194304, {{"", 1000, 1024, EIO, -1}}, {{512, 1536}}},
      {"unaligned window keeps device sectors",
       100,
       4194304,
       {{"", 1000, 10, EIO, -1}},
       {{512, 512}}},
      {"window starting inside a bad sector", 700, 2048, {{"", 600, 10, EIO, -1}}, {{700, 324}}},
      {"two ranges in two blocks",
       0,
       4194304,
       {{"", 5000, 1, EIO, -1}, {"", 2 * 1048576 + 10, 600, EIO, -1}},
       {{4608, 512}, {2 * 1048576, 1024}}},
      {"bad short last sector",
       8 * 1048576 - 512,
       812,
       {{"", 8 * 1048576 + 10, 1, EIO, -1}},
       {{8 * 1048576, 300}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    block_file_testing_set_faults(c.faults);
    std::unique_ptr<DiskReader> reader = open();
    std::vector<uint8_t> buffer(c.window_length, 0xEE);
    std::vector<ByteRange> found;
    ASSERT_EQ(reader->read_window(c.window_offset, buffer.data(), c.window_length, &found),
              ReadOutcome::kOk);
    EXPECT_TRUE(buffer == expected(c.window_offset, c.window_length, c.zeroed));
    EXPECT_EQ(found, c.zeroed);
    EXPECT_EQ(reader->unreadable_ranges(), c.zeroed);
    uint64_t total = 0;
    for (const ByteRange& r : c.zeroed) total += r.length;
    EXPECT_EQ(reader->unreadable_bytes(), total);
  }
}

TEST_F(DiskReaderTest, StopsWhereNothingMoreCanBeRead) {
  struct Case {
    const char* name;
    uint64_t window_offset, window_length;
    std::vector<BlockFault> faults;
    uint64_t failed_offset;
  };
  const std::vector<Case> cases = {
      {"device gone", 0, 4194304, {{"", 3000000, 1, ENODEV, -1}}, 2999808},
      {"medium removed", 1048576, 1048576, {{"", 0, kSourceSize, ENOMEDIUM, -1}}, 1048576},
      {"gone while reading sector by sector",
       0,
       4194304,
       {{"", 5000, 1, EIO, -1}, {"", 6000, 1, ENXIO, -1}},
       5632},
      {"source ends before the window", 8 * 1048576, 1048576, {}, kSourceSize},
      {"whole window unreadable", 1048576, 65536, {{"", 1048576 - 512, 70000, EIO, -1}}, 1048576},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    block_file_testing_set_faults(c.faults);
    std::unique_ptr<DiskReader> reader = open();
    std::vector<uint8_t> buffer(c.window_length);
    EXPECT_EQ(reader->read_window(c.window_offset, buffer.data(), c.window_length),
              ReadOutcome::kFailed);
    EXPECT_EQ(reader->failed_offset(), c.failed_offset);
  }
}

TEST_F(DiskReaderTest, KeepsTheFirstThousandRangesAndCountsEveryByte) {
  std::vector<BlockFault> faults;
  for (uint64_t i = 0; i < 1200; i++)
    faults.push_back({"", i * 2048, 1, EIO, -1});  // every 4th sector
  block_file_testing_set_faults(faults);
  std::unique_ptr<DiskReader> reader = open();
  std::vector<uint8_t> buffer(4194304);
  ASSERT_EQ(reader->read_window(0, buffer.data(), buffer.size()), ReadOutcome::kOk);
  EXPECT_EQ(reader->unreadable_bytes(), 1200u * 512);
  ASSERT_EQ(reader->unreadable_ranges().size(), kMaxUnreadableRanges);
  EXPECT_EQ(reader->unreadable_ranges().back(), (ByteRange{999 * 2048, 512}));
}

// Ranges of any length, as the imaging job and the scan read them.
TEST_F(DiskReaderTest, RangesOfAnyLength) {
  block_file_testing_set_faults({{"", 70000, 1, EIO, -1}});
  std::unique_ptr<DiskReader> reader = open();
  std::vector<uint8_t> buffer(kSourceSize, 0xEE);
  std::vector<ByteRange> found;
  EXPECT_EQ(reader->read_range(0, buffer.data(), 0, &found), ReadOutcome::kOk);
  EXPECT_TRUE(found.empty());
  ASSERT_EQ(reader->read_range(0, buffer.data(), kSourceSize, &found), ReadOutcome::kOk);
  EXPECT_TRUE(buffer == expected(0, kSourceSize, {{69632, 512}}));
  EXPECT_EQ(found, (std::vector<ByteRange>{{69632, 512}}));

  found.clear();
  EXPECT_EQ(reader->read_range(kSourceSize - 100, buffer.data(), 1000, &found),
            ReadOutcome::kFailed);
  EXPECT_EQ(reader->failed_offset(), kSourceSize);
  EXPECT_TRUE(found.empty());
}

// A sparse source: only whole blocks that lie in a hole are skipped (left
// unwritten); a block that holds any data is read with its zeros. While a
// fault is set for the source nothing is skipped, so the fault still fires.
TEST_F(DiskReaderTest, SkipsOnlyBlocksWhollyInAHole) {
  constexpr uint64_t kMiB = 1048576;
  ASSERT_EQ(::truncate(path_.c_str(), 0), 0);  // emptied, then all hole
  ASSERT_EQ(::truncate(path_.c_str(), static_cast<off_t>(kSourceSize)), 0);
  std::vector<uint8_t> sparse(kSourceSize, 0);
  for (uint64_t at : {kMiB + 100, 6 * kMiB - 4, kSourceSize - 10}) {
    std::fstream f(path_, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(at));
    f.write("DATA", 4);
    std::memcpy(&sparse[at], "DATA", 4);
  }
  struct Case {
    uint64_t offset, length;
    std::vector<bool> zero_blocks;
  };
  const Case cases[] = {
      {0, kSourceSize, {true, false, true, true, true, false, true, true, false}},
      {kMiB / 2, 6 * kMiB, {false, true, true, true, true, false}},  // blocks off MiB bounds
      {2 * kMiB, 3 * kMiB, {true, true, true}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.offset);
    std::unique_ptr<DiskReader> reader = open();
    std::vector<uint8_t> buffer(c.length, 0xEE);
    std::vector<bool> zero_blocks;
    ASSERT_EQ(
        reader->read_range_skipping_holes(c.offset, buffer.data(), c.length, kMiB, &zero_blocks),
        ReadOutcome::kOk);
    EXPECT_EQ(zero_blocks, c.zero_blocks);
    for (uint64_t i = 0; i < zero_blocks.size(); i++) {
      const uint64_t end = std::min(c.length, (i + 1) * kMiB);
      for (uint64_t at = i * kMiB; at < end; at++) {
        const uint8_t want = zero_blocks[i] ? 0xEE : sparse[c.offset + at];
        ASSERT_EQ(buffer[at], want) << "block " << i << " byte " << at;
      }
    }
  }

  block_file_testing_set_faults({{path_, 3 * kMiB, 1, EIO, -1}});
  std::unique_ptr<DiskReader> reader = open();
  std::vector<uint8_t> buffer(kSourceSize);
  std::vector<bool> zero_blocks;
  std::vector<ByteRange> found;
  ASSERT_EQ(
      reader->read_range_skipping_holes(0, buffer.data(), kSourceSize, kMiB, &zero_blocks, &found),
      ReadOutcome::kOk);
  EXPECT_EQ(zero_blocks, std::vector<bool>(9, false));
  EXPECT_EQ(found, (std::vector<ByteRange>{{3 * kMiB, 512}}));
  EXPECT_TRUE(buffer == sparse);
}

TEST(BlockFaultSpec, ParsesTheTestHostOption) {
  std::vector<BlockFault> faults;
  ASSERT_TRUE(block_file_testing_parse("4096:512,1048576:1:19:2", &faults));
  ASSERT_EQ(faults.size(), 2u);
  EXPECT_EQ(faults[0].offset, 4096u);
  EXPECT_EQ(faults[0].error_number, EIO);
  EXPECT_EQ(faults[0].times, -1);
  EXPECT_EQ(faults[1].error_number, 19);
  EXPECT_EQ(faults[1].times, 2);
  for (const char* bad :
       {"", "1", "1:0", "-1:5", "a:5", "1:5:", "1:5:0", "1:5,", "1:2:3:4:5", "1:5:5:0"}) {
    EXPECT_FALSE(block_file_testing_parse(bad, &faults)) << bad;
  }
}

}  // namespace
}  // namespace halvex
