// The single-instance name as an abstract Unix socket: bound for the life of
// the process, gone with it, visible machine-wide (per network namespace).

#include "platform/instance.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

namespace halvex {

bool instance_try_acquire(const char* name) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  size_t len = std::strlen(name);
  if (len > sizeof addr.sun_path - 1) len = sizeof addr.sun_path - 1;
  std::memcpy(addr.sun_path + 1, name, len);  // leading NUL: abstract namespace
  socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + len);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), size) != 0) {
    ::close(fd);
    return false;
  }
  return true;  // the descriptor stays open until the process ends
}

}  // namespace halvex
