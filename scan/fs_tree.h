// The directory tree of the FAT32 or exFAT volume that begins at the first
// byte of a disk, walked depth-first: a directory's entry is followed at once
// by everything below it, then by its next sibling.
//
// The walk lists only what the directories say (live entries, names, sizes,
// first clusters); it follows no file contents and checks no checksums.
// Damaged disks are the normal input, so the walk is bounded in work: it
// never reads a directory cluster already walked in this tree, stops at
// 1,000,000 entries, at depth 17 and, per FAT32 directory, at 4096 clusters
// or once it holds more than 4 MiB. It is bounded in memory too, whatever
// the disk says: directory data is read a piece of at most 64 KiB at a time
// (one piece per level of the walk), entries go to a sink as they are found
// and are not kept, and walked clusters are a bitmap of at most 4 MiB plus a
// set of the few directories that start above it. Only the FAT32 FAT (at
// most 64 MiB) is held whole for the walk.
//
// Names are UTF-8: 8.3 names decoded as code page 437, long names and exFAT
// names with "?" for every UTF-16 unit from 0x80. Names and paths are cut at
// whole characters.
//
// build_fs_tree_json gives the tree as the JSON text of the scan's
// "directory_tree" object, built during the walk and cut to a byte budget.
//
// Nothing here keeps state between calls; any thread may call it. It reads
// only through the reader it is given.

#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace halvex {

// Positioned read of the whole disk: reads exactly `length` bytes at the
// absolute `offset` into `buffer`, or returns false.
using FsReadAt = std::function<bool(uint64_t offset, uint8_t* buffer, uint64_t length)>;

// One listed file or folder. The views are valid during the sink's call only.
struct FsEntry {
  std::string_view name;  // at most 255 bytes
  std::string_view path;  // "<parent path>/<name>", at most 511 bytes
  uint64_t size = 0;      // as stored in the directory entry (FAT32: 0 for folders)
  uint32_t cluster = 0;   // first cluster
  bool is_dir = false;
};

// Receives the walk's results on the walking thread, in walk order.
class FsEntrySink {
 public:
  // Once, when a volume is recognised, before its first entry.
  virtual void start(std::string_view fs_type) = 0;
  virtual void add(const FsEntry& entry) = 0;

 protected:
  ~FsEntrySink() = default;
};

struct FsWalkResult {
  std::string fs_type;  // "exfat", "fat32", or empty when no volume was recognised
  size_t entries = 0;   // handed to the sink
  bool capped = false;  // the walk stopped at kFsMaxEntries with more to list
};

constexpr size_t kFsMaxEntries = 1000000;
constexpr int kFsMaxDepth = 17;

// Walks the volume at disk offset 0. `disk_size` (bytes) gives the FAT32
// cluster count. An unreadable boot sector or a volume that is neither
// exFAT nor FAT32 gives no type and no entries; an unreadable directory is
// listed but not entered.
FsWalkResult walk_fs_tree(const FsReadAt& read_at, uint64_t disk_size, FsEntrySink& sink);

// The tree as the "directory_tree" object's text:
//   {"fs_type":"fat32","entries":[{"name":..,"path":..,"size":..,"is_dir":..,"cluster":..},...]}
// written byte for byte as json_print would write the same object. Entries
// are added while the text, with 64 bytes kept for what closes it, stays
// within `max_bytes` (so a budget of 128 bytes or more is never passed).
// When entries are left out (the next one did not fit, or the walk stopped
// at kFsMaxEntries) the object ends with "truncated":true and
// "entries_found", the number of entries the walk found; the walk goes on
// counting after the text is full.
struct FsTreeJson {
  std::string text;   // empty when the walk found no entry
  size_t listed = 0;  // entries in "entries"
  size_t found = 0;   // entries the walk found
  bool truncated = false;
};

FsTreeJson build_fs_tree_json(const FsReadAt& read_at, uint64_t disk_size, size_t max_bytes);

// A reader over bytes in memory (an image file read whole, or a test's
// buffer). `data` must outlive the reader.
FsReadAt fs_memory_reader(const uint8_t* data, uint64_t size);

}  // namespace halvex
