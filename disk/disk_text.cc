#include "disk/disk_text.h"

#include "core/util.h"

namespace halvex {

bool disk_equals_ignoring_case(std::string_view a, std::string_view b) {
  return ascii_equals_ignoring_case(a, b);
}

}  // namespace halvex
