// Windows positioned reads of a physical disk (\\.\PHYSICALDRIVEn) or an
// image file, with the test fault table consulted before each read.
//
// The handle is kept as a C runtime descriptor (_open_osfhandle), so the
// class looks the same on every platform. Errors are reported errno style,
// as the header promises: the Windows codes map to the nearest errno.

#include "platform/block_file.h"

#include <windows.h>
#include <winioctl.h>
#include <io.h>
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "platform/block_file_faults.h"
#include "platform/win32/text.h"

namespace halvex {
namespace {

int errno_of(DWORD code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return EACCES;
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
      return ENODEV;  // the device is gone
    case ERROR_NO_MEDIA_IN_DRIVE:
    case ERROR_MEDIA_CHANGED:
      return ENXIO;  // the medium is gone
    case ERROR_INVALID_PARAMETER:
      return EINVAL;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    default:
      return EIO;  // ERROR_CRC, ERROR_SECTOR_NOT_FOUND, ERROR_IO_DEVICE, ...
  }
}

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

}  // namespace

std::unique_ptr<BlockFile> BlockFile::open(const std::string& path, bool sequential,
                                           int* error_number) {
  auto fail = [&](int e) -> std::unique_ptr<BlockFile> {
    if (error_number) *error_number = e;
    return nullptr;
  };
  if (path.empty()) return fail(ENOENT);
  // Without FILE_FLAG_BACKUP_SEMANTICS a folder can't be opened, and
  // GetFileType refuses pipes and character devices (COM ports, consoles).
  DWORD flags = sequential ? FILE_FLAG_SEQUENTIAL_SCAN : FILE_FLAG_RANDOM_ACCESS;
  win32::Handle h(::CreateFileW(win32::to_wide_path(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags,
                                nullptr));
  if (!h.valid()) return fail(errno_of(::GetLastError()));
  if (::GetFileType(h.get()) != FILE_TYPE_DISK) return fail(EINVAL);

  // A disk answers the length query; a file doesn't (the call fails on
  // one), and its size comes from GetFileSizeEx.
  uint64_t size = 0;
  uint32_t sector = 512;
  GET_LENGTH_INFORMATION length{};
  DWORD got = 0;
  const bool disk = ::DeviceIoControl(h.get(), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length,
                                      sizeof length, &got, nullptr);
  if (disk) {
    size = static_cast<uint64_t>(length.Length.QuadPart);
    DISK_GEOMETRY geometry{};
    if (::DeviceIoControl(h.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry,
                          sizeof geometry, &got, nullptr) &&
        geometry.BytesPerSector >= 512 && geometry.BytesPerSector <= 65536) {
      sector = geometry.BytesPerSector;
    }
  } else {
    LARGE_INTEGER file_size;
    if (::GetFileSizeEx(h.get(), &file_size)) size = static_cast<uint64_t>(file_size.QuadPart);
  }
  int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h.get()), _O_RDONLY | _O_BINARY);
  if (fd < 0) return fail(EMFILE);
  h.release();  // the descriptor owns it now
  return std::unique_ptr<BlockFile>(new BlockFile(fd, size, sector, !disk, path));
}

BlockFile::~BlockFile() { ::_close(fd_); }

int64_t BlockFile::read_at(uint64_t offset, void* buffer, size_t length) {
  if (int e = block_fault_injected(path_, sector_size_, offset, &length)) return -e;
  if (offset > static_cast<uint64_t>(INT64_MAX)) return -EINVAL;
  DWORD want = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD n = 0;
  if (::ReadFile(handle_of(fd_), buffer, want, &n, &at)) return n;
  DWORD code = ::GetLastError();
  if (code == ERROR_HANDLE_EOF) return 0;
  return -errno_of(code);
}

uint64_t BlockFile::data_from(uint64_t offset) {
  if (!regular_ || offset >= size_ || block_faults_set(path_)) return offset;
  // The first allocated range at or after `offset`. A file that is not
  // sparse is one range from 0; a volume that can't tell fails the call.
  FILE_ALLOCATED_RANGE_BUFFER query{}, first{};
  query.FileOffset.QuadPart = static_cast<LONGLONG>(offset);
  query.Length.QuadPart = static_cast<LONGLONG>(size_ - offset);
  DWORD got = 0;
  if (!::DeviceIoControl(handle_of(fd_), FSCTL_QUERY_ALLOCATED_RANGES, &query, sizeof query, &first,
                         sizeof first, &got, nullptr) &&
      ::GetLastError() != ERROR_MORE_DATA) {
    return offset;
  }
  if (got < sizeof first) return size_;  // no allocated range: all hole
  const uint64_t at = static_cast<uint64_t>(first.FileOffset.QuadPart);
  return at <= offset ? offset : std::min(at, size_);
}

bool block_error_is_gone(int error_number) {
  return error_number == ENODEV || error_number == ENXIO;
}

}  // namespace halvex
