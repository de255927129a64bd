// Exclusive file creation on Windows: CREATE_NEW fails when anything has
// the name already, a reparse point (link) included, so nothing is opened
// through a link planted there. The handle is kept as a C runtime
// descriptor, as on the other platforms.

#include "platform/new_file.h"

#include <windows.h>
#include <io.h>
#include <fcntl.h>

#include "platform/win32/text.h"

namespace halvex {
namespace {

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

}  // namespace

NewFile::~NewFile() {
  if (fd_ >= 0) ::_close(fd_);
}

NewFileStatus NewFile::create(const std::string& path, unsigned /*mode*/, std::string* error) {
  HANDLE h =
      ::CreateFileW(win32::to_wide_path(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD code = ::GetLastError();
    if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) return NewFileStatus::kExists;
    // A folder at the name makes CreateFileW report access denied.
    DWORD attrs = ::GetFileAttributesW(win32::to_wide_path(path).c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES) return NewFileStatus::kExists;
    *error = "create " + path + ": " + win32::error_text(code);
    return NewFileStatus::kFailed;
  }
  int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_WRONLY | _O_BINARY);
  if (fd < 0) {
    ::CloseHandle(h);
    ::DeleteFileW(win32::to_wide_path(path).c_str());
    *error = "create " + path + ": too many open files";
    return NewFileStatus::kFailed;
  }
  fd_ = fd;
  path_ = path;
  return NewFileStatus::kCreated;
}

bool NewFile::write(const void* data, size_t length, std::string* error) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    DWORD chunk = length > (1u << 30) ? (1u << 30) : static_cast<DWORD>(length);
    DWORD n = 0;
    if (!::WriteFile(handle_of(fd_), p, chunk, &n, nullptr) || n == 0) {
      *error = "write " + path_ + ": " + win32::error_text(::GetLastError());
      return false;
    }
    p += n;
    length -= n;
  }
  return true;
}

bool NewFile::close(std::string* error) {
  if (fd_ < 0) return true;
  // A full disk can show only when the data reaches it.
  bool flushed = ::FlushFileBuffers(handle_of(fd_)) != 0;
  DWORD code = flushed ? 0 : ::GetLastError();
  ::_close(fd_);
  fd_ = -1;
  if (!flushed) {
    *error = "close " + path_ + ": " + win32::error_text(code);
    return false;
  }
  return true;
}

void NewFile::discard() {
  if (fd_ >= 0) ::_close(fd_);
  fd_ = -1;
  if (!path_.empty()) ::DeleteFileW(win32::to_wide_path(path_).c_str());
  path_.clear();
}

}  // namespace halvex
