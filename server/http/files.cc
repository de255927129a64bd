#include "server/http/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "server/http/web.h"

namespace halvex::server {

namespace {

FileServe refuse(int status, const char* text) {
  FileServe f;
  f.status = status;
  f.text = text;
  return f;
}

int open_at(int dir, const std::string& name, int flags) {
  int fd;
  do {
    fd = ::openat(dir, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The components of a decoded relative path; false for empty, "." or ".."
// components (which also refuses a leading or doubled '/').
bool split_components(const std::string& rel, std::vector<std::string>* out) {
  size_t start = 0;
  for (;;) {
    size_t slash = rel.find('/', start);
    std::string part =
        rel.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (!files_valid_name(part)) return false;
    out->push_back(part);
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

}  // namespace

bool files_is_target(std::string_view path) {
  return path.substr(0, kFilesPrefix.size()) == kFilesPrefix;
}

bool files_valid_name(std::string_view name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

FileServe files_open(const std::string& root, std::string_view method, std::string_view path) {
  if (method != "GET" && method != "HEAD") return refuse(405, "Method not allowed\n");
  if (!files_is_target(path)) return refuse(404, "Not found\n");
  std::optional<std::string> rel = url_decode(path.substr(kFilesPrefix.size()), false);
  if (!rel) return refuse(400, "Bad request\n");
  std::vector<std::string> parts;
  if (!split_components(*rel, &parts)) return refuse(404, "Not found\n");

  // Walk down from the files folder; O_NOFOLLOW on every step refuses a
  // link anywhere on the way, not only at the end.
  int dir = open_at(AT_FDCWD, root, O_RDONLY | O_DIRECTORY);
  for (size_t i = 0; dir >= 0 && i + 1 < parts.size(); i++) {
    int next = open_at(dir, parts[i], O_RDONLY | O_DIRECTORY);
    ::close(dir);
    dir = next;
  }
  if (dir < 0) return refuse(404, "Not found\n");
  // O_NONBLOCK: opening a FIFO planted in the folder must not hang.
  int fd = open_at(dir, parts.back(), O_RDONLY | O_NONBLOCK);
  ::close(dir);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    if (fd >= 0) ::close(fd);
    return refuse(404, "Not found\n");
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  FileServe f;
  f.status = 200;
  f.fd = fd;
  f.size = static_cast<uint64_t>(st.st_size);
  return f;
}

}  // namespace halvex::server
