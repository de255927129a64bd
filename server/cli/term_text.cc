#include "server/cli/term_text.h"

#include <cstdint>
#include <cstdio>

namespace halvex::server {
namespace {

void add_hex(std::string* out, const char* prefix, unsigned value, int digits) {
  char buf[12];
  std::snprintf(buf, sizeof buf, "%s%0*x", prefix, digits, value);
  *out += buf;
}

// Length of the well-formed UTF-8 character at the start of `s` (2 to 4
// bytes), 0 when none starts there.
size_t utf8_length(std::string_view s) {
  auto b = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  auto cont = [&](size_t i) { return i < s.size() && (b(i) & 0xC0) == 0x80; };
  uint8_t c = b(0);
  if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (!cont(1) || !cont(2)) return 0;
    if (c == 0xE0 && b(1) < 0xA0) return 0;  // overlong
    if (c == 0xED && b(1) > 0x9F) return 0;  // surrogate
    return 3;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if (c == 0xF0 && b(1) < 0x90) return 0;
    if (c == 0xF4 && b(1) > 0x8F) return 0;
    return 4;
  }
  return 0;
}

}  // namespace

std::string terminal_safe(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    auto c = static_cast<uint8_t>(text[i]);
    if (c >= 0x20 && c < 0x7F) {
      if (c == '\\') out += '\\';
      out += static_cast<char>(c);
      i++;
      continue;
    }
    switch (c) {
      case '\t':
        out += "\\t";
        i++;
        continue;
      case '\n':
        out += "\\n";
        i++;
        continue;
      case '\r':
        out += "\\r";
        i++;
        continue;
      case 0x1B:
        out += "\\e";
        i++;
        continue;
      default:
        break;
    }
    if (c < 0x80) {  // the other C0 controls and DEL
      add_hex(&out, "\\x", c, 2);
      i++;
      continue;
    }
    size_t n = utf8_length(text.substr(i));
    if (n == 0) {
      add_hex(&out, "\\x", c, 2);
      i++;
    } else if (n == 2 && c == 0xC2 && static_cast<uint8_t>(text[i + 1]) < 0xA0) {
      add_hex(&out, "\\u", static_cast<uint8_t>(text[i + 1]), 4);  // C1 control U+0080..U+009F
      i += 2;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  return out;
}

}  // namespace halvex::server
