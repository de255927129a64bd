// Text helpers shared inside disk/.

#pragma once

#include <string>
#include <string_view>

namespace halvex {

// ASCII letters compared without case; other bytes exactly.
bool disk_equals_ignoring_case(std::string_view a, std::string_view b);

// "folder/name", without doubling a trailing '/' of the folder.
std::string disk_join_path(const std::string& folder, const std::string& name);

}  // namespace halvex
