// Random bytes from getrandom(2), checked: a short or failed read is an
// error, never a silently unfilled buffer.

#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>

namespace halvex {

bool random_bytes(void* buf, size_t len) {
  auto* p = static_cast<unsigned char*>(buf);
  while (len > 0) {
    ssize_t n = ::getrandom(p, len, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace halvex
