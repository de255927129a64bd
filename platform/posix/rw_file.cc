// Positioned reads and writes with pread/pwrite.

#include "platform/rw_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace halvex {
namespace {

bool fail(const char* what, const std::string& path, std::string* error) {
  *error = std::string(what) + " " + path + ": " + std::strerror(errno);
  return false;
}

}  // namespace

std::unique_ptr<RwFile> RwFile::open(const std::string& path, unsigned mode, std::string* error) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    fail("open", path, error);
    return nullptr;
  }
  return std::unique_ptr<RwFile>(new RwFile(fd, path));
}

RwFile::~RwFile() { ::close(fd_); }

bool RwFile::write_at(uint64_t offset, const void* data, size_t length, std::string* error) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t n = ::pwrite(fd_, p, length, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("write", path_, error);
    }
    p += n;
    offset += static_cast<uint64_t>(n);
    length -= static_cast<size_t>(n);
  }
  return true;
}

std::optional<size_t> RwFile::read_at(uint64_t offset, void* buffer, size_t length,
                                      std::string* error) {
  char* p = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::pread(fd_, p + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("read", path_, error);
      return std::nullopt;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

bool RwFile::zero(uint64_t offset, uint64_t length, std::string* error) {
  int rc;
  do {
    rc = ::fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                     static_cast<off_t>(length));
  } while (rc < 0 && errno == EINTR);
  if (rc == 0) return true;
  if (errno != EOPNOTSUPP && errno != ENOSYS) return fail("zero", path_, error);
  // No holes here: write the zeros.
  const std::string zeros(1 << 20, '\0');
  while (length > 0) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(length, zeros.size()));
    if (!write_at(offset, zeros.data(), n, error)) return false;
    offset += n;
    length -= n;
  }
  return true;
}

bool RwFile::resize(uint64_t length, std::string* error) {
  int rc;
  do {
    rc = ::ftruncate(fd_, static_cast<off_t>(length));
  } while (rc < 0 && errno == EINTR);
  return rc == 0 || fail("resize", path_, error);
}

std::optional<uint64_t> RwFile::size(std::string* error) {
  struct stat st;
  if (::fstat(fd_, &st) != 0) {
    fail("stat", path_, error);
    return std::nullopt;
  }
  return static_cast<uint64_t>(st.st_size);
}

void RwFile::start_writeback(uint64_t offset, uint64_t length) {
  // Only a hint: a failure shows in the sync that follows.
  ::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(length),
                    SYNC_FILE_RANGE_WRITE);
}

bool RwFile::sync(std::string* error) {
  return ::fdatasync(fd_) == 0 || fail("sync", path_, error);
}

}  // namespace halvex
