// Text helpers shared inside disk/.

#pragma once

#include <string>
#include <string_view>

namespace halvex {

// ASCII letters compared without case; other bytes exactly.
bool disk_equals_ignoring_case(std::string_view a, std::string_view b);

// `text` with every byte sequence that is not well-formed UTF-8 replaced by
// U+FFFD. File names on Linux are any bytes, and one invalid name must not
// make the whole JSON reply unreadable to the server.
std::string disk_utf8(std::string_view text);

// "folder/name", without doubling a trailing '/' of the folder.
std::string disk_join_path(const std::string& folder, const std::string& name);

}  // namespace halvex
