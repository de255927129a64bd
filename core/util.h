// Small helpers shared by every module: readable sizes, timestamps, the
// computer name, the one rule for cutting text to a field size, and
// the one repair for text that must be UTF-8 (JSON for the server).
// All are pure functions of their arguments, callable from any thread.

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

// True when `a` and `b` are the same text but for the case of ASCII letters.
bool ascii_equals_ignoring_case(std::string_view a, std::string_view b);

// Text as it would be after a bounded copy into a field of `capacity` bytes:
// at most capacity - 1 bytes. Fields in the protocol are cut this way (user
// names at 63, handler names at 47, ...), so every such cut goes through here.
// A well-formed multi-byte character that would not fit whole is dropped
// whole, so a cut never leaves half a character; bytes that are not UTF-8
// are kept as they are (a file name on disk may be any bytes and must still
// open), and utf8_sanitize repairs them where text leaves the agent.
std::string text_cut(std::string_view text, size_t capacity);

// Length of the well-formed UTF-8 character at the front of `text` (1 to 4),
// or 0 when there is none: empty text, a stray continuation byte, a lead byte
// that is never valid (C0, C1, F5-FF), an overlong form, a surrogate
// (U+D800-U+DFFF), a code point above U+10FFFF, or a sequence cut short.
size_t utf8_char_length(std::string_view text);

// Number of bytes at the front of `text` that are well-formed UTF-8; equal to
// text.size() when all of it is.
size_t utf8_valid_prefix(std::string_view text);

// `text` with each byte that does not start a well-formed character (see
// utf8_char_length) replaced by U+FFFD. Well-formed text comes back unchanged,
// after one scan and one copy. ASCII bytes are never touched, so repaired
// JSON text stays the same JSON.
std::string utf8_sanitize(std::string_view text);

}  // namespace halvex
