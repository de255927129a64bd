// Exclusive file creation and full writes.

#include "platform/new_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace halvex {

NewFile::~NewFile() {
  if (fd_ >= 0) ::close(fd_);
}

NewFileStatus NewFile::create(const std::string& path, unsigned mode, std::string* error) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    // With O_CREAT|O_EXCL a link at the name gives EEXIST, never ELOOP.
    if (errno == EEXIST) return NewFileStatus::kExists;
    *error = "create " + path + ": " + std::strerror(errno);
    return NewFileStatus::kFailed;
  }
  fd_ = fd;
  path_ = path;
  return NewFileStatus::kCreated;
}

bool NewFile::write(const void* data, size_t length, std::string* error) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t n = ::write(fd_, p, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = "write " + path_ + ": " + std::strerror(errno);
      return false;
    }
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool NewFile::close(std::string* error) {
  if (fd_ < 0) return true;
  int rc = ::close(fd_);  // never retried: the descriptor is gone either way
  fd_ = -1;
  if (rc != 0 && errno != EINTR) {
    *error = "close " + path_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

void NewFile::discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!path_.empty()) ::unlink(path_.c_str());
  path_.clear();
}

}  // namespace halvex
