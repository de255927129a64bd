// POSIX folders: opendir/readdir, with fstatat only where the entry type
// alone doesn't answer the question.

#include "platform/dirs.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace halvex {

namespace {

DirError classify_errno(int err) {
  switch (err) {
    case EACCES:
    case EPERM:
      return DirError::kPermissionDenied;
    case ENOENT:
    case ENOTDIR:
      return DirError::kNotFound;
    default:
      return DirError::kOther;
  }
}

bool is_dot_or_dotdot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Home folder of a named account, or "" when there is no such account.
std::string account_home(const char* user) {
  struct passwd pw;
  struct passwd* found = nullptr;
  std::vector<char> buf(16384);
  if (::getpwnam_r(user, &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr) {
    return "";
  }
  return found->pw_dir;
}

std::string uid_home(uid_t uid) {
  struct passwd pw;
  struct passwd* found = nullptr;
  std::vector<char> buf(16384);
  if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr ||
      found->pw_dir == nullptr) {
    return "";
  }
  return found->pw_dir;
}

}  // namespace

DirReader::DirReader(const std::string& path, bool want_sizes) : want_sizes_(want_sizes) {
  DIR* dir = path.empty() ? nullptr : ::opendir(path.c_str());
  if (dir == nullptr) {
    error_ = path.empty() ? DirError::kNotFound : classify_errno(errno);
    return;
  }
  dir_ = dir;
}

DirReader::~DirReader() {
  if (dir_ != nullptr) ::closedir(static_cast<DIR*>(dir_));
}

bool DirReader::next(DirEntry* entry) {
  DIR* dir = static_cast<DIR*>(dir_);
  if (dir == nullptr) return false;
  for (;;) {
    const struct dirent* de = ::readdir(dir);
    if (de == nullptr) return false;
    if (is_dot_or_dotdot(de->d_name)) continue;
    unsigned char type = de->d_type;
    bool need_status = type == DT_UNKNOWN || type == DT_LNK || (want_sizes_ && type != DT_DIR);
    entry->is_dir = type == DT_DIR;
    entry->size = 0;
    if (need_status) {
      struct stat st;
      if (::fstatat(::dirfd(dir), de->d_name, &st, 0) == 0) {
        entry->is_dir = S_ISDIR(st.st_mode);
        if (want_sizes_ && !entry->is_dir) entry->size = static_cast<uint64_t>(st.st_size);
      } else if (::fstatat(::dirfd(dir), de->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        entry->is_dir = false;  // a link to nothing: shown as an empty file
      } else {
        continue;  // gone meanwhile
      }
    }
    entry->name = de->d_name;
    return true;
  }
}

PathKind path_kind(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return PathKind::kMissing;
  return S_ISDIR(st.st_mode) ? PathKind::kDirectory : PathKind::kOther;
}

std::string dirs_join_path(const std::string& folder, const std::string& name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::string dirs_user_home() {
  // Through sudo, $HOME may be root's; the folders the user means are the
  // invoking user's.
  const char* sudo_user = std::getenv("SUDO_USER");
  if (sudo_user != nullptr && sudo_user[0] != '\0') {
    std::string home = account_home(sudo_user);
    if (!home.empty()) return home;
  }
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  return uid_home(::getuid());
}

}  // namespace halvex
