// A file written and read by position: the server's part and image files,
// which chunks fill in whatever order they arrive. Writes loop over short
// writes and EINTR; a region never written reads as zeros and takes no
// space where the file system allows holes.
//
// Threads: one RwFile is used by one thread at a time; several RwFiles may
// name the same file. The destructor closes the file.

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace halvex {

class RwFile {
 public:
  // Opens `path` for reading and writing, creating it with `mode` when
  // missing (a link at the name is never followed). Null on failure, with
  // *error "open PATH: cause".
  static std::unique_ptr<RwFile> open(const std::string& path, unsigned mode, std::string* error);
  ~RwFile();

  RwFile(const RwFile&) = delete;
  RwFile& operator=(const RwFile&) = delete;

  // Writes all `length` bytes at `offset`. False with *error
  // "write PATH: cause".
  bool write_at(uint64_t offset, const void* data, size_t length, std::string* error);

  // Reads up to `length` bytes at `offset`; the count read (short only at
  // the end of the file), or nullopt with *error "read PATH: cause".
  std::optional<size_t> read_at(uint64_t offset, void* buffer, size_t length, std::string* error);

  // Makes `length` bytes at `offset` read as zeros, freeing their space
  // (a hole) where the file system can; the file's length is kept.
  bool zero(uint64_t offset, uint64_t length, std::string* error);

  // Sets the file's length: cut, or grown with a hole.
  bool resize(uint64_t length, std::string* error);

  // The file's length, or nullopt with *error.
  std::optional<uint64_t> size(std::string* error);

  // Starts writing `length` bytes at `offset` to the disk without waiting,
  // so that a later sync has less left to do.
  void start_writeback(uint64_t offset, uint64_t length);

  // Makes the written bytes durable (fdatasync).
  bool sync(std::string* error);

  const std::string& path() const { return path_; }

 private:
  RwFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  const int fd_;
  const std::string path_;
};

}  // namespace halvex
