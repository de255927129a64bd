// POSIX positioned reads of a disk device or image file, with the test
// fault table (block_file_faults.h) consulted before each read.

#include "platform/block_file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/block_file_faults.h"

namespace halvex {

std::unique_ptr<BlockFile> BlockFile::open(const std::string& path, bool sequential,
                                           int* error_number) {
  auto fail = [&](int e) -> std::unique_ptr<BlockFile> {
    if (error_number) *error_number = e;
    return nullptr;
  };
  // Only block devices and regular files: opening some character devices
  // has effects of its own, and a FIFO would block.
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return fail(errno ? errno : ENOENT);
  if (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode)) return fail(EINVAL);
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(errno);
  uint64_t size = 0;
  int sector = 512;
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (regular) {
    size = static_cast<uint64_t>(st.st_size);
  } else {
    if (::ioctl(fd, BLKGETSIZE64, &size) != 0) size = 0;
    if (::ioctl(fd, BLKSSZGET, &sector) != 0 || sector < 512 || sector > 65536) sector = 512;
  }
  if (sequential) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::unique_ptr<BlockFile>(
      new BlockFile(fd, size, static_cast<uint32_t>(sector), regular, path));
}

BlockFile::~BlockFile() { ::close(fd_); }

int64_t BlockFile::read_at(uint64_t offset, void* buffer, size_t length) {
  if (int e = block_fault_injected(path_, sector_size_, offset, &length)) return -e;
  if (offset > static_cast<uint64_t>(INT64_MAX)) return -EINVAL;
  for (;;) {
    ssize_t n = ::pread(fd_, buffer, length, static_cast<off_t>(offset));
    if (n >= 0) return n;
    if (errno != EINTR) return -errno;
  }
}

uint64_t BlockFile::data_from(uint64_t offset) {
  if (!regular_ || offset >= size_ || block_faults_set(path_)) return offset;
  // Only the file position moves, and every read names its own.
  off_t at = ::lseek(fd_, static_cast<off_t>(offset), SEEK_DATA);
  if (at >= 0) return std::min(static_cast<uint64_t>(at), size_);
  // ENXIO: nothing but hole up to the end. Anything else (EINVAL where the
  // file system can't tell): no hole known.
  return errno == ENXIO ? size_ : offset;
}

bool block_error_is_gone(int error_number) {
  return error_number == ENODEV || error_number == ENXIO || error_number == ENOMEDIUM;
}

}  // namespace halvex
