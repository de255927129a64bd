// Reading folders: the entries of one folder, what kind of object a path
// names, and the desktop user's home folder.
//
// DirReader is used by one thread at a time; the free functions may be
// called from any thread and keep no state.

#pragma once

#include <cstdint>
#include <string>

namespace halvex {

// Why a folder could not be read, in the classes the protocol reports.
enum class DirError {
  kNone,
  kPermissionDenied,  // EACCES, EPERM
  kNotFound,          // ENOENT, ENOTDIR
  kOther,             // anything else
};

struct DirEntry {
  std::string name;     // as stored, never "." or ".."
  bool is_dir = false;  // a folder, or a link to one
  uint64_t size = 0;    // bytes of a non-folder when sizes were asked for
};

// The entries of one folder, in the order the file system returns them.
// Owns the open folder handle and closes it when destroyed.
class DirReader {
 public:
  // Opens `path`. Sizes cost one status query per non-folder entry, so a
  // reader that only looks for subfolders passes want_sizes = false.
  DirReader(const std::string& path, bool want_sizes);
  ~DirReader();
  DirReader(const DirReader&) = delete;
  DirReader& operator=(const DirReader&) = delete;

  // kNone when the folder is open; otherwise next() returns false at once.
  DirError error() const { return error_; }

  // Fills *entry with the next entry and returns true, or returns false at
  // the end (a read error ends the listing like the end does). Entries
  // that vanish while being read are passed over.
  bool next(DirEntry* entry);

 private:
  void* dir_ = nullptr;  // the platform's folder handle
  DirError error_ = DirError::kNone;
  bool want_sizes_ = false;
};

enum class PathKind { kMissing, kDirectory, kOther };

// What `path` names, following links. kMissing also when it can't be
// examined (empty path, no permission on a parent folder).
PathKind path_kind(const std::string& path);

// "folder<sep>name" with the system's separator ('/' here, '\\' on
// Windows), without doubling a separator that ends `folder`.
std::string dirs_join_path(const std::string& folder, const std::string& name);

// The home folder of the person at the desktop: the invoking user's when
// the agent was started through sudo (SUDO_USER), else $HOME, else the
// account's home. Empty when none is known.
std::string dirs_user_home();

}  // namespace halvex
