// Unix stream sockets with SO_PEERCRED.

#include "platform/local_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace halvex {

namespace {

constexpr int kBacklog = 8;

std::string cause(const std::string& context) { return context + ": " + std::strerror(errno); }

bool make_address(const std::string& path, sockaddr_un* addr, std::string* error) {
  *addr = {};
  addr->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr->sun_path) {
    *error = path + ": socket path too long (" + std::to_string(path.size()) + " bytes)";
    return false;
  }
  std::memcpy(addr->sun_path, path.data(), path.size());
  return true;
}

// Removes a socket file an earlier process left at `path`; anything else
// there stays, and binding then fails.
void remove_stale_socket(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
}

}  // namespace

std::optional<int> local_listen(const std::string& path, std::string* error) {
  sockaddr_un addr;
  if (!make_address(path, &addr, error)) return std::nullopt;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = cause("socket");
    return std::nullopt;
  }
  remove_stale_socket(path);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    *error = cause("bind " + path);
    ::close(fd);
    return std::nullopt;
  }
  if (::chmod(path.c_str(), 0600) != 0 || ::listen(fd, kBacklog) != 0) {
    *error = cause("listen " + path);
    ::close(fd);
    ::unlink(path.c_str());
    return std::nullopt;
  }
  return fd;
}

std::optional<int> local_accept(int listener, uint32_t* peer_uid, std::string* error) {
  for (;;) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      *error = cause("accept");
      return std::nullopt;
    }
    ucred cred{};
    socklen_t size = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) != 0) {
      *error = cause("SO_PEERCRED");
      ::close(fd);
      return std::nullopt;
    }
    *peer_uid = cred.uid;
    return fd;
  }
}

std::optional<int> local_connect(const std::string& path, std::string* error) {
  sockaddr_un addr;
  if (!make_address(path, &addr, error)) return std::nullopt;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = cause("socket");
    return std::nullopt;
  }
  while (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno == EINTR) continue;
    *error = cause("connect " + path);
    ::close(fd);
    return std::nullopt;
  }
  return fd;
}

int local_read(int fd, char* buffer, size_t capacity, int timeout_ms) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, timeout_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return -1;
    ssize_t n = ::read(fd, buffer, capacity);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? -1 : static_cast<int>(n);
  }
}

bool local_write(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

void local_close(int fd) {
  if (fd >= 0) ::close(fd);
}

uint32_t local_user_id() { return ::geteuid(); }

}  // namespace halvex
