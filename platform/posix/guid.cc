// GUID fields from the random source.

#include "platform/guid.h"

#include "platform/random.h"

namespace halvex {

bool guid_fields(GuidFields* out) {
  GuidFields fields;
  if (!random_bytes(&fields.first, sizeof fields.first) ||
      !random_bytes(&fields.second, sizeof fields.second))
    return false;
  *out = fields;
  return true;
}

}  // namespace halvex
