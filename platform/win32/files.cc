// Windows files and folders through the wide-character calls. POSIX modes
// have no meaning here: files and folders take the access rights of the
// folder they are made in (the user's own application-data folder for the
// agent's files).

#include "platform/files.h"

#include <windows.h>
#include <share.h>

#include <cstdint>
#include <cstdio>

#include "platform/random.h"
#include "platform/win32/text.h"

namespace halvex {
namespace {

using win32::Handle;
using win32::to_wide_path;

bool write_all(HANDLE h, const char* data, size_t len) {
  while (len > 0) {
    DWORD chunk = len > (1u << 30) ? (1u << 30) : static_cast<DWORD>(len);
    DWORD written = 0;
    if (!::WriteFile(h, data, chunk, &written, nullptr) || written == 0) return false;
    data += written;
    len -= written;
  }
  return true;
}

HANDLE open_read(const std::string& path) {
  return ::CreateFileW(to_wide_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

bool dir_create(const std::string& path, unsigned /*mode*/) {
  std::wstring w = to_wide_path(path);
  if (::CreateDirectoryW(w.c_str(), nullptr)) return true;
  DWORD attrs = ::GetFileAttributesW(w.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool file_exists(const std::string& path) {
  return ::GetFileAttributesW(to_wide_path(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::optional<uint64_t> file_size(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(to_wide_path(path).c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return std::nullopt;
  }
  return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool file_read_all(const std::string& path, uint64_t max_bytes, std::string* out) {
  Handle h(open_read(path));
  if (!h.valid() || ::GetFileType(h.get()) != FILE_TYPE_DISK) return false;
  LARGE_INTEGER size;
  if (!::GetFileSizeEx(h.get(), &size) || static_cast<uint64_t>(size.QuadPart) > max_bytes)
    return false;
  out->clear();
  out->reserve(static_cast<size_t>(size.QuadPart));
  char buf[16384];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(h.get(), buf, sizeof buf, &n, nullptr)) return false;
    if (n == 0) return true;
    if (out->size() + n > max_bytes) return false;  // grew while reading
    out->append(buf, n);
  }
}

namespace {

// Copies the rest of `in` to `out`.
bool copy_handle(HANDLE in, HANDLE out) {
  char buf[16384];
  for (;;) {
    DWORD n = 0;
    if (!::ReadFile(in, buf, sizeof buf, &n, nullptr)) return false;
    if (n == 0) return true;
    if (!write_all(out, buf, n)) return false;
  }
}

// The one write-temporary-then-rename: `fill` writes the new content to
// a temporary file beside `path`, which is flushed and moved over `path`
// with a write-through move.
template <class Fill>
bool replace_with_temp(const std::string& path, Fill fill, std::string* error) {
  uint64_t r = 0;
  if (!random_bytes(&r, sizeof r)) {
    *error = "create temporary file: no random bytes";
    return false;
  }
  char suffix[24];
  std::snprintf(suffix, sizeof suffix, ".tmp-%016llx", static_cast<unsigned long long>(r));
  std::wstring tmp = to_wide_path(path + suffix);
  Handle h(::CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr));
  if (!h.valid()) {
    *error = "create temporary file: " + win32::error_text(::GetLastError());
    return false;
  }
  bool ok = fill(h.get()) && ::FlushFileBuffers(h.get());
  if (!ok) *error = "write temporary file: " + win32::error_text(::GetLastError());
  h.reset();
  if (ok && !::MoveFileExW(tmp.c_str(), to_wide_path(path).c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    *error = "rename temporary file: " + win32::error_text(::GetLastError());
    ok = false;
  }
  if (!ok) ::DeleteFileW(tmp.c_str());
  return ok;
}

}  // namespace

bool file_write_atomic(const std::string& path, const std::string& data, unsigned /*mode*/,
                       std::string* error) {
  return replace_with_temp(
      path, [&data](HANDLE h) { return write_all(h, data.data(), data.size()); }, error);
}

bool file_copy_atomic(const std::string& from, const std::string& to, unsigned /*mode*/,
                      std::string* error) {
  Handle in(open_read(from));
  if (!in.valid()) {
    *error = "open source file: " + win32::error_text(::GetLastError());
    return false;
  }
  return replace_with_temp(
      to, [&in](HANDLE out) { return copy_handle(in.get(), out); }, error);
}

bool file_copy_new(const std::string& from, const std::string& to, unsigned /*mode*/) {
  Handle in(open_read(from));
  if (!in.valid()) return false;
  std::wstring wto = to_wide_path(to);
  Handle out(::CreateFileW(wto.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out.valid()) return false;
  bool ok = copy_handle(in.get(), out.get());
  ok = ::FlushFileBuffers(out.get()) && ok;
  out.reset();
  if (!ok) ::DeleteFileW(wto.c_str());
  return ok;
}

FILE* file_open_append(const std::string& path, unsigned /*mode*/) {
  // Shared for reading and writing, so the log can be read while it grows.
  return ::_wfsopen(to_wide_path(path).c_str(), L"ab", _SH_DENYNO);
}

bool file_remove(const std::string& path) { return ::DeleteFileW(to_wide_path(path).c_str()) != 0; }

std::string exe_path() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return "";
    if (n < buf.size()) return win32::to_utf8(buf.substr(0, n));
    if (buf.size() >= 32768) return "";
    buf.resize(buf.size() * 2);
  }
}

std::string exe_dir() {
  std::string path = exe_path();
  size_t sep = path.find_last_of("\\/");
  if (sep == std::string::npos) return "";
  return path.substr(0, sep);
}

}  // namespace halvex
