// The single-instance name as a flock on "<name>.lock" in the data folder.
// The descriptor stays open for the life of the process, so the lock goes
// with it. The file itself is left in place: removing it at exit would let
// a starting agent lock a file that a third one is about to replace.

#include "platform/instance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace halvex {

namespace {

std::string lock_file_name(const char* name) {
  std::string out;
  for (const char* p = name; *p != '\0'; p++) {
    char c = *p;
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '-' || c == '_';
    out += plain ? c : '_';
  }
  return out + ".lock";
}

}  // namespace

bool instance_try_acquire(const char* name, const std::string& data_dir) {
  std::string path = data_dir + "/" + lock_file_name(name);
  // O_NOFOLLOW: a link planted in the folder must not make root lock (or
  // create) a file elsewhere.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  return true;  // the descriptor stays open until the process ends
}

}  // namespace halvex
