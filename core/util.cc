#include "core/util.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "platform/system.h"

namespace halvex {

std::string format_size(uint64_t bytes) {
  char buf[64];
  double value = static_cast<double>(bytes);
  if (value < 1024) {
    std::snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(bytes));
    return buf;
  }
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB"};
  for (int i = 0; i < 4; i++) {
    value /= 1024;
    if (value < 1024 || i == 3) {
      std::snprintf(buf, sizeof buf, "%.1f %s", value, kUnits[i]);
      break;
    }
  }
  return buf;
}

std::string format_timestamp() {
  std::tm local{};
  char buf[32] = "";
  if (system_local_time(std::time(nullptr), &local))
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &local);
  return buf;
}

bool get_hostname(std::string* out) {
  std::string name;
  if (!system_hostname(&name) || name.size() > 255) {
    *out = "Unknown";
    return false;
  }
  *out = name;
  return true;
}

namespace {

bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// The largest n <= limit (limit < text.size()) at which text[0, n) does not
// end inside a well-formed character. Characters are at most 4 bytes, so only
// one starting in the 3 bytes before the limit can cross it. A byte that is
// not a continuation byte never lies inside a well-formed character, so the
// first such byte found going back is where a character would start.
size_t utf8_cut_point(std::string_view text, size_t limit) {
  for (size_t back = 1; back <= 3 && back <= limit; back++) {
    if (is_continuation(static_cast<unsigned char>(text[limit - back]))) continue;
    size_t start = limit - back;
    return utf8_char_length(text.substr(start)) > back ? start : limit;
  }
  return limit;
}

// 8 bytes at a time are checked for a byte >= 0x80: directory listings of
// tens of MB are mostly ASCII.
bool ascii_word(const char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return (word & 0x8080808080808080ull) == 0;
}

}  // namespace

bool ascii_equals_ignoring_case(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string text_cut(std::string_view text, size_t capacity) {
  if (capacity == 0) return "";
  size_t limit = capacity - 1;
  if (text.size() <= limit) return std::string(text);
  return std::string(text.substr(0, utf8_cut_point(text, limit)));
}

// Follows the table of well-formed byte sequences in chapter 3 of the Unicode
// standard: the narrowed second-byte ranges after E0, ED, F0 and F4 are what
// exclude overlong forms, surrogates and code points above U+10FFFF.
size_t utf8_char_length(std::string_view text) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  auto in = [&](size_t i, unsigned char lo, unsigned char hi) {
    return i < text.size() && byte(i) >= lo && byte(i) <= hi;
  };
  if (text.empty()) return 0;
  unsigned char b0 = byte(0);
  if (b0 < 0x80) return 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) return in(1, 0x80, 0xBF) ? 2 : 0;
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80;
    unsigned char hi = b0 == 0xED ? 0x9F : 0xBF;
    return in(1, lo, hi) && in(2, 0x80, 0xBF) ? 3 : 0;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    unsigned char lo = b0 == 0xF0 ? 0x90 : 0x80;
    unsigned char hi = b0 == 0xF4 ? 0x8F : 0xBF;
    return in(1, lo, hi) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
  }
  return 0;
}

size_t utf8_valid_prefix(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    if (text.size() - i >= 8 && ascii_word(text.data() + i)) {
      i += 8;
      continue;
    }
    size_t n = utf8_char_length(text.substr(i));
    if (n == 0) break;
    i += n;
  }
  return i;
}

std::string utf8_sanitize(std::string_view text) {
  size_t valid = utf8_valid_prefix(text);
  if (valid == text.size()) return std::string(text);
  std::string out;
  out.reserve(text.size() + 16);
  out.append(text.substr(0, valid));
  text.remove_prefix(valid);
  while (!text.empty()) {
    size_t n = utf8_char_length(text);
    if (n == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD
      n = 1;
    } else {
      out.append(text.substr(0, n));
    }
    text.remove_prefix(n);
  }
  return out;
}

}  // namespace halvex
