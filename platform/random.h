// Random bytes from the operating system's cryptographic generator.

#pragma once

#include <cstddef>

namespace halvex {

// Fills `buf` with `len` random bytes. Returns false, and leaves the buffer
// unusable for secrets, if the generator fails; callers must then not use
// the bytes (a failed source never yields a predictable key or code).
[[nodiscard]] bool random_bytes(void* buf, size_t len);

}  // namespace halvex
