#include "platform/program_search.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <utility>

namespace halvex {

namespace {

constexpr mode_t kAnyExecute = S_IXUSR | S_IXGRP | S_IXOTH;

// Closes a descriptor when it goes out of scope.
struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int release() { return std::exchange(fd, -1); }
};

bool root_controls(const struct stat& st) {
  return st.st_uid == 0 && ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0);
}

bool root_controls_folder(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && root_controls(st);
}

bool runnable_file(int fd, bool needs_root_owner) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (st.st_mode & kAnyExecute) == 0)
    return false;
  return !needs_root_owner || (st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0);
}

// The link-free absolute path of `path`, or "".
std::string real_path(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : std::string();
}

// Walks `real` from "/" one folder at a time, never following a link, and
// requires each folder to be root's alone. A link swapped in after
// realpath() makes the walk fail rather than lead elsewhere. Returns the
// program's descriptor, or -1.
int open_under_root_folders(const std::string& real) {
  if (real.size() < 2 || real[0] != '/') return -1;
  Fd dir(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (dir.fd < 0 || !root_controls_folder(dir.fd)) return -1;
  size_t start = 1;
  for (;;) {
    size_t slash = real.find('/', start);
    std::string name =
        real.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (slash == std::string::npos)
      return ::openat(dir.fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    Fd next(::openat(dir.fd, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (next.fd < 0 || !root_controls_folder(next.fd)) return -1;
    std::swap(dir.fd, next.fd);
    start = slash + 1;
  }
}

}  // namespace

bool program_is_executable(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> program_search_path(const std::string& name) {
  std::vector<std::string> found;
  const char* env = std::getenv("PATH");
  std::string list = env ? env : "";
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    std::string dir = list.substr(start, end - start);
    start = end + 1;
    if (dir.empty() || dir[0] != '/') continue;
    if (dir.back() != '/') dir += '/';
    if (program_is_executable(dir + name)) found.push_back(dir + name);
  }
  return found;
}

ProgramFile::~ProgramFile() {
  if (fd_ >= 0) ::close(fd_);
}

ProgramFile::ProgramFile(ProgramFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

ProgramFile& ProgramFile::operator=(ProgramFile&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

std::string program_file_name(const std::string& name) { return name; }

std::vector<ProgramPlace> program_system_places(const std::string& name) {
  return {{"/usr/local/bin/" + name, true}, {"/usr/bin/" + name, true}};
}

std::optional<ProgramFile> program_open(const std::string& path, bool needs_root_owner) {
  if (!program_is_executable(path)) return std::nullopt;
  Fd fd(needs_root_owner ? open_under_root_folders(real_path(path))
                         : ::open(path.c_str(), O_PATH | O_CLOEXEC));
  if (fd.fd < 0 || !runnable_file(fd.fd, needs_root_owner)) return std::nullopt;
  return ProgramFile(fd.release(), path);
}

}  // namespace halvex
