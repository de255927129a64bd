// Windows folders: FindFirstFileW/FindNextFileW, whose records already
// carry each entry's kind and size, so no entry needs a second query.

#include "platform/dirs.h"

#include <windows.h>
#include <shlobj.h>

#include "platform/win32/text.h"

namespace halvex {

namespace {

DirError classify_error(DWORD code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
      return DirError::kPermissionDenied;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return DirError::kNotFound;
    default:
      return DirError::kOther;
  }
}

bool ends_with_separator(const std::string& path) {
  return !path.empty() && (path.back() == '\\' || path.back() == '/');
}

bool is_dot_or_dotdot(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// The enumeration and the record FindFirstFileW filled, which next() hands
// out before asking for more.
struct FindState {
  HANDLE find = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW data;
  bool pending = false;  // `data` holds an entry not yet handed out
};

std::string profile_folder() {
  PWSTR path = nullptr;
  std::string result;
  if (::SHGetKnownFolderPath(FOLDERID_Profile, 0, nullptr, &path) == S_OK)
    result = win32::to_utf8(path);
  ::CoTaskMemFree(path);
  return result;
}

}  // namespace

DirReader::DirReader(const std::string& path, bool want_sizes) : want_sizes_(want_sizes) {
  if (path.empty()) {
    error_ = DirError::kNotFound;
    return;
  }
  auto* state = new FindState;
  std::string pattern = ends_with_separator(path) ? path + "*" : path + "\\*";
  state->find = ::FindFirstFileExW(win32::to_wide_path(pattern).c_str(), FindExInfoBasic,
                                   &state->data, FindExSearchNameMatch, nullptr, 0);
  if (state->find == INVALID_HANDLE_VALUE) {
    error_ = classify_error(::GetLastError());
    delete state;
    return;
  }
  state->pending = true;
  dir_ = state;
}

DirReader::~DirReader() {
  auto* state = static_cast<FindState*>(dir_);
  if (state == nullptr) return;
  ::FindClose(state->find);
  delete state;
}

bool DirReader::next(DirEntry* entry) {
  auto* state = static_cast<FindState*>(dir_);
  if (state == nullptr) return false;
  for (;;) {
    if (!state->pending && !::FindNextFileW(state->find, &state->data)) return false;
    state->pending = false;
    if (is_dot_or_dotdot(state->data.cFileName)) continue;
    entry->name = win32::to_utf8(state->data.cFileName);
    entry->is_dir = (state->data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry->size = 0;
    if (want_sizes_ && !entry->is_dir) {
      entry->size =
          (static_cast<uint64_t>(state->data.nFileSizeHigh) << 32) | state->data.nFileSizeLow;
    }
    return true;
  }
}

PathKind path_kind(const std::string& path) {
  if (path.empty()) return PathKind::kMissing;
  DWORD attrs = ::GetFileAttributesW(win32::to_wide_path(path).c_str());
  if (attrs == INVALID_FILE_ATTRIBUTES) return PathKind::kMissing;
  return (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::kDirectory : PathKind::kOther;
}

std::string dirs_join_path(const std::string& folder, const std::string& name) {
  if (ends_with_separator(folder)) return folder + name;
  return folder + "\\" + name;
}

std::string dirs_user_home() { return profile_folder(); }

}  // namespace halvex
