// Reading a disk device or an image file by position: the source of the
// imaging job and the scan. Only reads; the source is never written.
//
// Threads: one BlockFile is used by one thread at a time. The fault table
// of block_file_testing.h is process-wide and guarded.

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace halvex {

class BlockFile {
 public:
  // Opens `path` for reading (a block device or a regular file; anything
  // else is refused). `sequential` hints that the file will be read front to
  // back. Null on failure, with *error_number (errno style) when not null.
  static std::unique_ptr<BlockFile> open(const std::string& path, bool sequential,
                                         int* error_number = nullptr);
  ~BlockFile();

  BlockFile(const BlockFile&) = delete;
  BlockFile& operator=(const BlockFile&) = delete;

  // Reads up to `length` bytes at `offset` into `buffer`. Returns the count
  // read (0 at the end of the source), or minus an errno value. Interrupted
  // calls are retried here; a short count is not an error.
  int64_t read_at(uint64_t offset, void* buffer, size_t length);

  // The first offset at or after `offset` where the source may hold bytes
  // other than zeros: past `offset` only when the file system reports
  // [offset, result) as a hole (never written; it reads back as zeros),
  // and at most size(). Devices, file systems that keep no holes, and
  // sources with test faults set (a fault must fire where a read would)
  // answer `offset` itself.
  uint64_t data_from(uint64_t offset);

  // Size in bytes (block device or file), 0 when unknown.
  uint64_t size() const { return size_; }
  // Logical sector size of a device; 512 for a file.
  uint32_t sector_size() const { return sector_size_; }

 private:
  BlockFile(int fd, uint64_t size, uint32_t sector_size, bool regular, std::string path)
      : fd_(fd),
        size_(size),
        sector_size_(sector_size),
        regular_(regular),
        path_(std::move(path)) {}
  const int fd_;
  const uint64_t size_;
  const uint32_t sector_size_;
  const bool regular_;  // a regular file, which may have holes
  const std::string path_;
};

// True for the errors that mean the device itself is gone (unplugged,
// medium removed): retrying is pointless.
bool block_error_is_gone(int error_number);

}  // namespace halvex
