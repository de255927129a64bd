// The directory tree of the FAT32 or exFAT volume that begins at the first
// byte of a disk, as a flat list in depth-first order: a directory's entry
// is followed at once by everything below it, then by its next sibling.
//
// The walk lists only what the directories say (live entries, names, sizes,
// first clusters); it follows no file contents and checks no checksums.
// Damaged disks are the normal input, so the walk is bounded: it never reads
// a directory cluster already walked in this tree, stops at 1,000,000
// entries, at depth 17 and, per FAT32 directory, at 4096 clusters or once it
// holds more than 4 MiB.
//
// build_fs_tree keeps no state; any thread may call it. It reads only
// through the reader it is given.

#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace halvex {

// Positioned read of the whole disk: reads exactly `length` bytes at the
// absolute `offset` into `buffer`, or returns false.
using FsReadAt = std::function<bool(uint64_t offset, uint8_t* buffer, uint64_t length)>;

struct FsEntry {
  std::string name;  // at most 255 characters; UTF-16 units of 0x80 and up as "?"
  std::string path;  // "<parent path>/<name>", at most 511 characters
  uint64_t size = 0;     // as stored in the directory entry (FAT32: 0 for folders)
  uint32_t cluster = 0;  // first cluster
  bool is_dir = false;
};

struct FsTree {
  std::string fs_type;  // "exfat", "fat32", or empty when no volume was recognised
  std::vector<FsEntry> entries;
};

constexpr size_t kFsMaxEntries = 1000000;
constexpr int kFsMaxDepth = 17;

// Lists the volume at disk offset 0. `disk_size` (bytes) gives the FAT32
// cluster count. An unreadable boot sector or a volume that is neither
// exFAT nor FAT32 gives an empty tree; an unreadable directory is listed but
// not entered.
FsTree build_fs_tree(const FsReadAt& read_at, uint64_t disk_size);

// A reader over bytes in memory (an image file read whole, or a test's
// buffer). `data` must outlive the reader.
FsReadAt fs_memory_reader(const uint8_t* data, uint64_t size);

}  // namespace halvex
