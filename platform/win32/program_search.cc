// Outside programs on Windows: ".exe" files, searched along PATH, opened
// without write or delete sharing so that the file (and the folders above
// it, which can't be renamed while it is open) stays what was checked
// until the ProgramFile lets go. For a privileged process, a program from
// a place that others may control must belong to the administrators (or
// the system), and nobody else may be allowed to change it.

#include "platform/program_search.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <fcntl.h>
#include <io.h>

#include <cstdlib>
#include <utility>

#include "platform/win32/program_search_testing.h"
#include "platform/win32/text.h"

namespace halvex {

namespace {

constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER |
                                      DELETE | GENERIC_WRITE | GENERIC_ALL;

// NT SERVICE\TrustedInstaller, which owns the files Windows itself installs.
constexpr const wchar_t* kTrustedInstallerSid =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

bool is_trusted_installer(PSID sid) {
  PSID trusted = nullptr;
  if (!::ConvertStringSidToSidW(kTrustedInstallerSid, &trusted)) return false;
  bool same = ::EqualSid(sid, trusted) != 0;
  ::LocalFree(trusted);
  return same;
}

bool is_admin_sid(PSID sid) {
  return ::IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         ::IsWellKnownSid(sid, WinLocalSystemSid) || is_trusted_installer(sid);
}

}  // namespace

bool program_admin_controls(PSECURITY_DESCRIPTOR sd) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  BOOL defaulted = FALSE;
  BOOL present = FALSE;
  if (!::GetSecurityDescriptorOwner(sd, &owner, &defaulted) ||
      !::GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted)) {
    return false;
  }
  // No DACL, or a null one, grants everybody everything.
  bool ok = owner != nullptr && is_admin_sid(owner) && present && dacl != nullptr;
  for (DWORD i = 0; ok && i < dacl->AceCount; i++) {
    ACE_HEADER* ace = nullptr;
    if (!::GetAce(dacl, i, reinterpret_cast<void**>(&ace))) {
      ok = false;
    } else if (ace->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(ace);
      if ((allowed->Mask & kChangeRights) != 0 && !is_admin_sid(&allowed->SidStart)) ok = false;
    }
  }
  return ok;
}

namespace {

// True when the administrators own the open file and no access entry lets
// anybody else change it.
bool admin_controls(HANDLE file) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (::GetSecurityInfo(file, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr, nullptr,
                        nullptr, nullptr, &sd) != ERROR_SUCCESS) {
    return false;
  }
  bool ok = program_admin_controls(sd);
  ::LocalFree(sd);
  return ok;
}

bool is_regular_file(const std::wstring& path) {
  DWORD attrs = ::GetFileAttributesW(path.c_str());
  return attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool is_absolute(const std::string& dir) {
  return (dir.size() >= 3 && dir[1] == ':' && (dir[2] == '\\' || dir[2] == '/')) ||
         dir.rfind("\\\\", 0) == 0;
}

std::string env(const wchar_t* name) {
  DWORD n = ::GetEnvironmentVariableW(name, nullptr, 0);
  if (n == 0) return "";
  std::wstring value(n, L'\0');
  n = ::GetEnvironmentVariableW(name, value.data(), n);
  value.resize(n);
  return win32::to_utf8(value);
}

}  // namespace

bool program_is_executable(const std::string& path) {
  return is_regular_file(win32::to_wide_path(path));
}

std::string program_file_name(const std::string& name) {
  size_t dot = name.rfind('.');
  bool has_extension =
      dot != std::string::npos && name.find_first_of("\\/", dot) == std::string::npos;
  return has_extension ? name : name + ".exe";
}

std::vector<std::string> program_search_path(const std::string& name) {
  std::vector<std::string> found;
  std::string path = env(L"PATH");
  for (size_t start = 0; start <= path.size();) {
    size_t end = path.find(';', start);
    if (end == std::string::npos) end = path.size();
    std::string dir = path.substr(start, end - start);
    start = end + 1;
    if (dir.size() >= 2 && dir.front() == '"' && dir.back() == '"')
      dir = dir.substr(1, dir.size() - 2);
    if (!is_absolute(dir)) continue;  // also the empty entry
    if (dir.back() != '\\' && dir.back() != '/') dir += '\\';
    std::string candidate = dir + program_file_name(name);
    if (program_is_executable(candidate)) found.push_back(candidate);
  }
  return found;
}

std::vector<ProgramPlace> program_system_places(const std::string& name) {
  std::vector<ProgramPlace> places;
  std::string program_files = env(L"ProgramFiles");
  std::string file = program_file_name(name);
  if (!program_files.empty())
    places.push_back({program_files + "\\" + name + "\\bin\\" + file, true});
  places.push_back({"C:\\" + name + "\\bin\\" + file, false});
  return places;
}

ProgramFile::~ProgramFile() {
  if (fd_ >= 0) ::_close(fd_);
}

ProgramFile::ProgramFile(ProgramFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

ProgramFile& ProgramFile::operator=(ProgramFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::_close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

std::optional<ProgramFile> program_open(const std::string& path, bool needs_root_owner) {
  std::wstring wide = win32::to_wide_path(path);
  if (!is_regular_file(wide)) return std::nullopt;
  // Read sharing only: nobody can write, replace or delete the program, nor
  // rename a folder above it, while it is held.
  HANDLE h = ::CreateFileW(wide.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  if (needs_root_owner && !admin_controls(h)) {
    ::CloseHandle(h);
    return std::nullopt;
  }
  // The handle travels as a C runtime descriptor, which closes it.
  int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDONLY);
  if (fd < 0) {
    ::CloseHandle(h);
    return std::nullopt;
  }
  return ProgramFile(fd, path);
}

}  // namespace halvex
