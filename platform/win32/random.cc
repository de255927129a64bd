// Random bytes from CNG's system-preferred generator.

#include "platform/random.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <cstdint>

namespace halvex {

bool random_bytes(void* buf, size_t len) {
  auto* p = static_cast<uint8_t*>(buf);
  while (len > 0) {
    // The length is a ULONG: fill very large buffers in pieces.
    ULONG n = static_cast<ULONG>(std::min<size_t>(len, 1u << 30));
    if (!BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, p, n, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
      return false;
    p += n;
    len -= n;
  }
  return true;
}

}  // namespace halvex
