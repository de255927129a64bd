// The resilient reader: whole windows first, then ever smaller pieces of
// the part that failed, down to single sectors.

#include "disk/disk_reader.h"

#include <algorithm>
#include <cstring>

namespace halvex {

namespace {

// Pieces the failed range is cut into before going sector by sector: small
// enough that one bad sector costs at most one block of single-sector
// reads, large enough that the good rest of a window is read quickly.
constexpr uint64_t kRetryBlock = 1048576;

}  // namespace

std::unique_ptr<DiskReader> DiskReader::open(const std::string& path) {
  std::unique_ptr<BlockFile> file = BlockFile::open(path, /*sequential=*/true);
  if (!file) return nullptr;
  return std::make_unique<DiskReader>(std::move(file));
}

// Reads all `length` bytes at `offset`. On failure *done says how many
// bytes arrived first and *error_number is the errno (0: the source ended).
bool DiskReader::read_exact(uint64_t offset, uint8_t* buffer, uint64_t length, uint64_t* done,
                            int* error_number) {
  *done = 0;
  while (*done < length) {
    int64_t n = file_->read_at(offset + *done, buffer + *done, length - *done);
    if (n <= 0) {
      *error_number = n == 0 ? 0 : static_cast<int>(-n);
      return false;
    }
    *done += static_cast<uint64_t>(n);
  }
  return true;
}

ReadOutcome DiskReader::fail(uint64_t offset) {
  failed_offset_ = offset;
  return ReadOutcome::kFailed;
}

// An error that no retry can mend: the source ended, or the device is gone.
static bool final_error(int error_number) {
  return error_number == 0 || block_error_is_gone(error_number);
}

void DiskReader::record(uint64_t offset, uint64_t length, std::vector<ByteRange>* found) {
  unreadable_bytes_ += length;
  auto add = [&](std::vector<ByteRange>& list, size_t cap) {
    if (!list.empty() && list.back().offset + list.back().length == offset) {
      list.back().length += length;
    } else if (list.size() < cap) {
      list.push_back({offset, length});
    }
  };
  add(ranges_, kMaxUnreadableRanges);
  if (found) add(*found, SIZE_MAX);
}

// Sector by sector; a sector that fails is zero-filled and recorded. Sector
// boundaries are those of the device, whatever `offset` is.
bool DiskReader::read_sectors(uint64_t offset, uint8_t* buffer, uint64_t length,
                              std::vector<ByteRange>* found) {
  const uint64_t sector = file_->sector_size();
  uint64_t pos = 0;
  while (pos < length) {
    uint64_t at = offset + pos;
    uint64_t piece = std::min(sector - at % sector, length - pos);
    uint64_t done;
    int error_number;
    if (!read_exact(at, buffer + pos, piece, &done, &error_number)) {
      if (final_error(error_number)) {
        fail(at + done);
        return false;
      }
      std::memset(buffer + pos, 0, piece);
      record(at, piece, found);
    }
    pos += piece;
  }
  return true;
}

ReadOutcome DiskReader::read_range(uint64_t offset, uint8_t* buffer, uint64_t length,
                                   std::vector<ByteRange>* new_ranges) {
  for (uint64_t done = 0; done < length;) {
    uint64_t window = std::min(kReadWindow, length - done);
    std::vector<ByteRange> found;
    if (read_window(offset + done, buffer + done, window, &found) != ReadOutcome::kOk)
      return ReadOutcome::kFailed;
    if (new_ranges != nullptr) new_ranges->insert(new_ranges->end(), found.begin(), found.end());
    done += window;
  }
  return ReadOutcome::kOk;
}

ReadOutcome DiskReader::read_range_skipping_holes(uint64_t offset, uint8_t* buffer, uint64_t length,
                                                  uint64_t block, std::vector<bool>* zero_blocks,
                                                  std::vector<ByteRange>* new_ranges) {
  const uint64_t n = length / block + (length % block != 0);
  auto start = [&](uint64_t i) { return i * block; };
  auto end = [&](uint64_t i) { return std::min(length, (i + 1) * block); };
  zero_blocks->assign(n, false);
  uint64_t data = 0;  // the source's last answer: no data in [asked, data)
  for (uint64_t i = 0; i < n; i++) {
    const uint64_t at = offset + start(i);
    if (i == 0 || data < at) data = file_->data_from(at);
    (*zero_blocks)[i] = data >= offset + end(i);
  }
  // Each run of blocks with data is read in one piece, as read_range would.
  for (uint64_t i = 0; i < n;) {
    if ((*zero_blocks)[i]) {
      i++;
      continue;
    }
    const uint64_t first = i;
    while (i < n && !(*zero_blocks)[i]) i++;
    if (read_range(offset + start(first), buffer + start(first), end(i - 1) - start(first),
                   new_ranges) != ReadOutcome::kOk) {
      return ReadOutcome::kFailed;
    }
  }
  return ReadOutcome::kOk;
}

ReadOutcome DiskReader::read_window(uint64_t offset, uint8_t* buffer, uint64_t length,
                                    std::vector<ByteRange>* new_ranges) {
  uint64_t done;
  int error_number;
  if (read_exact(offset, buffer, length, &done, &error_number)) return ReadOutcome::kOk;
  if (final_error(error_number)) return fail(offset + done);

  // One more try of the rest, as a whole: many errors are transient.
  uint64_t first = done, more;
  if (read_exact(offset + first, buffer + first, length - first, &more, &error_number)) {
    return ReadOutcome::kOk;
  }
  if (final_error(error_number)) return fail(offset + first + more);

  const uint64_t unreadable_before = unreadable_bytes_;
  for (uint64_t pos = first + more; pos < length;) {
    uint64_t piece = std::min(kRetryBlock, length - pos);
    uint64_t got;
    if (!read_exact(offset + pos, buffer + pos, piece, &got, &error_number)) {
      if (final_error(error_number)) return fail(offset + pos + got);
      if (!read_sectors(offset + pos + got, buffer + pos + got, piece - got, new_ranges)) {
        return ReadOutcome::kFailed;
      }
    }
    pos += piece;
  }
  // Not one sector of the window could be read: the disk is not answering,
  // and an image of zeros would only hide that.
  if (unreadable_bytes_ - unreadable_before == length) return fail(offset);
  return ReadOutcome::kOk;
}

}  // namespace halvex
