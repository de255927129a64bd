// Private temporary folders under the user's temporary folder
// (GetTempPathW). The name carries 64 random bits, so it can't be guessed in
// advance; CreateDirectoryW fails rather than reuse an existing folder, and
// the folder inherits the user's own temporary folder's access rights.

#include "platform/temp_dir.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "platform/random.h"
#include "platform/win32/text.h"

namespace halvex {

std::optional<std::string> temp_dir_create(const std::string& prefix, std::string* error) {
  wchar_t buf[MAX_PATH + 1];
  DWORD n = ::GetTempPathW(MAX_PATH + 1, buf);
  if (n == 0 || n > MAX_PATH) {
    *error = "create temporary folder: " + win32::error_text(::GetLastError());
    return std::nullopt;
  }
  std::string root = win32::to_utf8(std::wstring(buf, n));
  while (!root.empty() && (root.back() == '\\' || root.back() == '/')) root.pop_back();
  DWORD last = 0;
  std::string path;
  for (int attempt = 0; attempt < 16; attempt++) {
    uint64_t r = 0;
    if (!random_bytes(&r, sizeof r)) {
      *error = "create temporary folder: no random bytes";
      return std::nullopt;
    }
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(r));
    path = root + "\\" + prefix + "-" + suffix;
    if (::CreateDirectoryW(win32::to_wide(path).c_str(), nullptr)) return path;
    last = ::GetLastError();
    if (last != ERROR_ALREADY_EXISTS) break;
  }
  *error = "create temporary folder " + path + ": " + win32::error_text(last);
  return std::nullopt;
}

bool temp_dir_remove(const std::string& path) {
  return ::RemoveDirectoryW(win32::to_wide_path(path).c_str()) != 0;
}

}  // namespace halvex
