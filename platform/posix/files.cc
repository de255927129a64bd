// POSIX files and folders.

#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace halvex {

namespace {

std::string errno_text(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

int open_retry(const char* path, int flags, unsigned mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool write_all(int fd, const char* data, size_t len) {
  while (len > 0) {
    ssize_t n = ::write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

std::string parent_dir(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Makes a rename durable: the directory entry must reach the disk too.
void sync_dir(const std::string& dir) {
  int fd = open_retry(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

bool dir_create(const std::string& path, unsigned mode) {
  // The folders above first, from the top; a failure shows in the last step.
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1))
    ::mkdir(path.substr(0, slash).c_str(), mode);
  if (::mkdir(path.c_str(), mode) == 0) return true;
  struct stat st;
  return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool file_exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::optional<uint64_t> file_size(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<uint64_t>(st.st_size);
}

bool file_read_all(const std::string& path, uint64_t max_bytes, std::string* out) {
  int fd = open_retry(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_size) > max_bytes) {
    ::close(fd);
    return false;
  }
  out->clear();
  out->reserve(static_cast<size_t>(st.st_size));
  char buf[16384];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    if (out->size() + static_cast<size_t>(n) > max_bytes) {  // grew while reading
      ok = false;
      break;
    }
    out->append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return ok;
}

namespace {

// Copies the rest of `in` to `out`.
bool copy_fd(int in, int out) {
  char buf[16384];
  for (;;) {
    ssize_t n = ::read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n == 0;
    if (!write_all(out, buf, static_cast<size_t>(n))) return false;
  }
}

// The one write-temporary-then-rename: `fill` writes the new content to
// a temporary file beside `path`, which is flushed, renamed over `path`,
// and the folder flushed after it.
template <class Fill>
bool replace_with_temp(const std::string& path, unsigned mode, Fill fill, std::string* error) {
  std::string dir = parent_dir(path);
  std::string tmpl = path + ".tmp-XXXXXX";
  int fd = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (fd < 0) {
    *error = errno_text("create temporary file");
    return false;
  }
  bool ok = ::fchmod(fd, mode) == 0 && fill(fd) && ::fsync(fd) == 0;
  if (!ok) *error = errno_text("write temporary file");
  if (::close(fd) != 0 && ok) {
    *error = errno_text("close temporary file");
    ok = false;
  }
  if (ok && ::rename(tmpl.c_str(), path.c_str()) != 0) {
    *error = errno_text("rename temporary file");
    ok = false;
  }
  if (!ok) {
    ::unlink(tmpl.c_str());
    return false;
  }
  sync_dir(dir);
  return true;
}

}  // namespace

bool file_write_atomic(const std::string& path, const std::string& data, unsigned mode,
                       std::string* error) {
  return replace_with_temp(
      path, mode, [&data](int fd) { return write_all(fd, data.data(), data.size()); }, error);
}

bool file_copy_atomic(const std::string& from, const std::string& to, unsigned mode,
                      std::string* error) {
  int in = open_retry(from.c_str(), O_RDONLY);
  if (in < 0) {
    *error = errno_text("open source file");
    return false;
  }
  bool ok = replace_with_temp(
      to, mode, [in](int out) { return copy_fd(in, out); }, error);
  ::close(in);
  return ok;
}

bool file_copy_new(const std::string& from, const std::string& to, unsigned mode) {
  int in = open_retry(from.c_str(), O_RDONLY);
  if (in < 0) return false;
  int out = open_retry(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
  if (out < 0) {
    ::close(in);
    return false;
  }
  bool ok = copy_fd(in, out);
  ok = ::fsync(out) == 0 && ok;
  ::close(in);
  ::close(out);
  if (!ok) ::unlink(to.c_str());
  return ok;
}

FILE* file_open_append(const std::string& path, unsigned mode) {
  int fd = open_retry(path.c_str(), O_WRONLY | O_APPEND | O_CREAT, mode);
  if (fd < 0) return nullptr;
  FILE* f = ::fdopen(fd, "a");
  if (f == nullptr) ::close(fd);
  return f;
}

bool file_remove(const std::string& path) { return ::unlink(path.c_str()) == 0; }

std::string exe_path() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "";
  return std::string(buf, static_cast<size_t>(n));
}

std::string exe_dir() {
  std::string path = exe_path();
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  return path.substr(0, slash);
}

}  // namespace halvex
