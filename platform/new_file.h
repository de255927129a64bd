// Writing a file that must not exist yet: created with O_EXCL and
// O_NOFOLLOW, so a file that appeared a moment ago, or a link planted at the
// name (even one pointing nowhere), is never opened, followed or replaced.
// Writes loop over short writes and EINTR.
//
// Threads: one NewFile belongs to one thread at a time. The destructor
// closes the file but keeps it; discard() deletes it.

#pragma once

#include <cstddef>
#include <string>

namespace halvex {

enum class NewFileStatus {
  kCreated,
  kExists,  // something (file, folder, link) already has the name
  kFailed,  // any other failure; see the error text
};

class NewFile {
 public:
  NewFile() = default;
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  // Creates `path` for writing with `mode` (the umask applies). On kFailed
  // sets *error to "create PATH: cause". REQUIRES: no file is open.
  NewFileStatus create(const std::string& path, unsigned mode, std::string* error);

  // Appends all `length` bytes. False with *error "write PATH: cause".
  bool write(const void* data, size_t length, std::string* error);

  // Closes the file, keeping it. False with *error when the close reports a
  // failed write (a full disk on some file systems shows only here).
  bool close(std::string* error);

  // Closes the file if open and deletes it (also after close()).
  void discard();

  bool is_open() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;  // set by a successful create()
};

}  // namespace halvex
