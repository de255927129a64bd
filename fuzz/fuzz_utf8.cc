// UTF-8 repair and field cuts. The first byte picks a field capacity, the
// rest is the text. Checked: the validator agrees with a decoder written from
// code-point arithmetic; repaired text is valid and unchanged when it was
// valid; a cut is a prefix of at most capacity - 1 bytes that, for valid
// text, is valid and keeps every whole character that fits; printed JSON is
// valid and reads back as the repaired string.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/json.h"
#include "core/util.h"
#include "fuzz/fuzz_support.h"

using halvex::fuzz::check;

namespace {

// Length of the character at the front of `s` by decoding it: the lead byte
// gives the length, the code point must need that length, and must not be a
// surrogate or above U+10FFFF. 0 when there is none.
size_t decoded_length(std::string_view s) {
  if (s.empty()) return 0;
  auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(s[i])); };
  size_t n = b(0) < 0x80         ? 1
             : (b(0) >> 5) == 6  ? 2
             : (b(0) >> 4) == 14 ? 3
             : (b(0) >> 3) == 30 ? 4
                                 : 0;
  if (n == 0 || s.size() < n) return 0;
  if (n == 1) return 1;
  uint32_t cp = b(0) & (0x7F >> n);
  for (size_t i = 1; i < n; i++) {
    if ((b(i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i) & 0x3F);
  }
  const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < kSmallest[n] || (cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) return 0;
  return n;
}

bool valid(std::string_view s) { return halvex::utf8_valid_prefix(s) == s.size(); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t capacity = data[0];
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

  bool text_valid = true;
  for (size_t i = 0; i < text.size(); i++) {
    size_t n = halvex::utf8_char_length(text.substr(i));
    check(n == decoded_length(text.substr(i)), "validator agrees with decoding");
    if (n == 0) text_valid = false;
    if (n > 1) i += n - 1;
  }
  check(valid(text) == text_valid, "valid prefix covers exactly the valid texts");

  std::string repaired = halvex::utf8_sanitize(text);
  check(valid(repaired), "repaired text is valid");
  check(text_valid == (repaired == text), "valid text, and only valid text, comes back unchanged");

  std::string cut = halvex::text_cut(text, capacity);
  check(text.substr(0, cut.size()) == cut, "a cut is a prefix");
  check(cut.size() + 1 <= capacity || cut.empty(), "a cut fits the field with its NUL");
  if (text_valid) {
    check(valid(cut), "a cut of valid text is valid");
    size_t next = halvex::utf8_char_length(text.substr(cut.size()));
    check(cut.size() == text.size() || cut.size() + next + 1 > capacity,
          "a cut keeps every character that fits");
  }

  // cJSON strings end at a NUL.
  std::string_view string = text.substr(0, text.find('\0'));
  halvex::Json object = halvex::json_object();
  halvex::json_add_string(object.get(), "s", string);
  std::string printed = halvex::json_print(object.get());
  check(valid(printed), "printed JSON is valid UTF-8");
  halvex::Json back = halvex::json_parse(printed);
  check(halvex::json_get_string(back.get(), "s") == halvex::utf8_sanitize(string),
        "JSON reads back repaired");
  return 0;
}
