// Fresh GUIDs, for what must differ from one use to the next without being
// secret (multipart boundaries). On Windows they come from the system
// (CoCreateGuid); on Linux from the random source, in the same layout.
//
// Threads: any.

#pragma once

#include <cstdint>

namespace halvex {

// The first two fields of a GUID: the 32-bit one and the 16-bit one after it.
struct GuidFields {
  uint32_t first = 0;
  uint16_t second = 0;
};

// A fresh GUID's first two fields in *out. False, with *out untouched, when
// the system cannot make one.
[[nodiscard]] bool guid_fields(GuidFields* out);

}  // namespace halvex
