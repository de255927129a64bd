// Small helpers shared by every module: readable sizes, timestamps, the
// computer name, sleeping, and the one rule for cutting text to a field size.

#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace halvex {

// "%llu B" below 1 KiB, else "%.1f %s" in KB, MB, GB or TB (TB also for
// anything larger). 1048575 gives "1024.0 KB".
std::string format_size(uint64_t bytes);

// Current local time as "%Y-%m-%dT%H:%M:%S".
std::string format_timestamp();

// The computer name, at most 255 bytes. If it can't be read or doesn't fit,
// *out is "Unknown" and the result is false.
bool get_hostname(std::string* out);

void sleep_ms(uint32_t ms);

// Text as it would be after a bounded copy into a field of `capacity` bytes:
// at most capacity - 1 bytes. Fields in the protocol are cut this way (user
// names at 63, handler names at 47, ...), so every such cut goes through here.
std::string text_cut(std::string_view text, size_t capacity);

}  // namespace halvex
