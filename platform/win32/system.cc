// Windows machine and process facts: the computer name, the token's
// elevation, local time, and the roaming application-data known folder.

#include "platform/system.h"

#include <windows.h>
#include <shlobj.h>

#include "platform/win32/text.h"

namespace halvex {

bool system_hostname(std::string* out) {
  wchar_t buf[256];
  DWORD size = 256;
  if (!::GetComputerNameW(buf, &size)) return false;
  *out = win32::to_utf8(std::wstring(buf, size));
  return true;
}

bool system_is_elevated() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  win32::Handle owner(token);
  TOKEN_ELEVATION elevation{};
  DWORD size = 0;
  if (!::GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size))
    return false;
  return elevation.TokenIsElevated != 0;
}

bool system_local_time(std::time_t t, std::tm* out) { return ::localtime_s(out, &t) == 0; }

const char* system_platform_name() { return "Windows"; }

std::string system_app_data_dir() {
  wchar_t* path = nullptr;
  HRESULT hr = ::SHGetKnownFolderPath(FOLDERID_RoamingAppData, KF_FLAG_DEFAULT, nullptr, &path);
  std::string dir;
  if (SUCCEEDED(hr) && path != nullptr) dir = win32::to_utf8(path);
  ::CoTaskMemFree(path);  // also on failure, as the call's contract asks
  if (dir.empty()) return "";
  return dir + "\\Halvex Service Native";
}

}  // namespace halvex
