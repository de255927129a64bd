// The resilient reader of a disk or image file, shared by the imaging job
// and the scan. It reads whole windows (at most 64 MiB) at a time and
// survives bad sectors: a failed read is retried once, then the failed range
// is read in 1 MiB blocks and a block that still fails sector by sector;
// sectors that stay unreadable come back as zeros, so every later offset
// stays true, and are recorded. It gives up only when the device is gone,
// the source ends before the window does, or not one sector of the window
// can be read.
//
// Threads: one DiskReader is used by one thread at a time.

#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/block_file.h"

namespace halvex {

constexpr uint64_t kReadWindow = 67108864;     // 64 MiB, the largest read_window
constexpr size_t kMaxUnreadableRanges = 1000;  // ranges kept for the report

struct ByteRange {
  uint64_t offset = 0;
  uint64_t length = 0;
  friend bool operator==(const ByteRange&, const ByteRange&) = default;
};

enum class ReadOutcome {
  kOk,      // the window is filled (possibly with zero-filled sectors)
  kFailed,  // device gone, early end, or nothing readable: stop
};

class DiskReader {
 public:
  // Opens the source for sequential reading; null when it can't be opened.
  static std::unique_ptr<DiskReader> open(const std::string& path);
  // Wraps an already open file (tests and callers that opened it).
  explicit DiskReader(std::unique_ptr<BlockFile> file) : file_(std::move(file)) {}

  // Fills `buffer` with exactly `length` (1 .. kReadWindow) bytes from
  // `offset`. kOk: the buffer holds the source's bytes, zeros where sectors
  // could not be read, and `new_ranges` (when not null) receives the
  // unreadable ranges found by this call. kFailed: failed_offset() says
  // where; the buffer's content is unspecified.
  ReadOutcome read_window(uint64_t offset, uint8_t* buffer, uint64_t length,
                          std::vector<ByteRange>* new_ranges = nullptr);

  // Fills `buffer` with `length` bytes (any number) from `offset`, window
  // by window. kOk as read_window. kFailed at the first window the reader
  // gives up on; `new_ranges` then holds what the windows before it found.
  ReadOutcome read_range(uint64_t offset, uint8_t* buffer, uint64_t length,
                         std::vector<ByteRange>* new_ranges = nullptr);

  // As read_range, for a caller that can use a hole without its bytes:
  // the source is taken in blocks of `block` bytes from `offset` (the last
  // may be shorter), and a block that lies wholly in a hole of the source
  // (see BlockFile::data_from) is neither read nor written; its index is
  // set in *zero_blocks (resized to the block count) and the caller must
  // take it as zeros. Every other byte is filled as read_range fills it.
  ReadOutcome read_range_skipping_holes(uint64_t offset, uint8_t* buffer, uint64_t length,
                                        uint64_t block, std::vector<bool>* zero_blocks,
                                        std::vector<ByteRange>* new_ranges = nullptr);

  uint64_t size() const { return file_->size(); }
  // Where the last kFailed happened.
  uint64_t failed_offset() const { return failed_offset_; }
  // Unreadable bytes so far, and their ranges (adjacent ones merged; the
  // first kMaxUnreadableRanges kept).
  uint64_t unreadable_bytes() const { return unreadable_bytes_; }
  const std::vector<ByteRange>& unreadable_ranges() const { return ranges_; }

 private:
  bool read_exact(uint64_t offset, uint8_t* buffer, uint64_t length, uint64_t* done,
                  int* error_number);
  bool read_sectors(uint64_t offset, uint8_t* buffer, uint64_t length,
                    std::vector<ByteRange>* found);
  void record(uint64_t offset, uint64_t length, std::vector<ByteRange>* found);
  ReadOutcome fail(uint64_t offset);

  std::unique_ptr<BlockFile> file_;
  uint64_t failed_offset_ = 0;
  uint64_t unreadable_bytes_ = 0;
  std::vector<ByteRange> ranges_;
};

}  // namespace halvex
