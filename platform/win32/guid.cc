// GUID fields from CoCreateGuid.

#include "platform/guid.h"

#include <windows.h>
#include <objbase.h>

namespace halvex {

bool guid_fields(GuidFields* out) {
  GUID guid;
  if (FAILED(::CoCreateGuid(&guid))) return false;
  out->first = static_cast<uint32_t>(guid.Data1);
  out->second = static_cast<uint16_t>(guid.Data2);
  return true;
}

}  // namespace halvex
