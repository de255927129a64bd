// Text helpers shared inside disk/.

#pragma once

#include <string>
#include <string_view>

namespace halvex {

// ASCII letters compared without case; other bytes exactly.
bool disk_equals_ignoring_case(std::string_view a, std::string_view b);

}  // namespace halvex
