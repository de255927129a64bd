#include "core/util.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/json.h"

namespace halvex {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";  // U+FFFD

std::string fffd(int n) {
  std::string out;
  for (int i = 0; i < n; i++) out += kFffd;
  return out;
}

// The boundaries of every row of the Unicode table of well-formed sequences,
// and the byte patterns just outside them.
TEST(Utf8Test, CharLength) {
  const std::pair<std::string, size_t> cases[] = {
      {"", 0},
      {"A", 1},
      {std::string(1, '\0'), 1},
      {"\x7F", 1},
      {"\xC3\xA9xyz", 2},       // only the first character counts
      {"\xC2\x80", 2},          // U+0080
      {"\xDF\xBF", 2},          // U+07FF
      {"\xE0\xA0\x80", 3},      // U+0800
      {"\xED\x9F\xBF", 3},      // U+D7FF
      {"\xEE\x80\x80", 3},      // U+E000
      {"\xEF\xBF\xBF", 3},      // U+FFFF
      {"\xF0\x90\x80\x80", 4},  // U+10000
      {"\xF4\x8F\xBF\xBF", 4},  // U+10FFFF
      // Stray continuation bytes and lead bytes that are never valid.
      {"\x80", 0},
      {"\xBF", 0},
      {"\xC0", 0},
      {"\xC1", 0},
      {"\xF5\x80\x80\x80", 0},
      {"\xFE", 0},
      {"\xFF", 0},
      // Overlong forms.
      {"\xC0\x80", 0},
      {"\xC1\xBF", 0},
      {"\xE0\x80\x80", 0},
      {"\xE0\x9F\xBF", 0},
      {"\xF0\x80\x80\x80", 0},
      {"\xF0\x8F\xBF\xBF", 0},
      // Surrogates.
      {"\xED\xA0\x80", 0},
      {"\xED\xBF\xBF", 0},
      // Above U+10FFFF.
      {"\xF4\x90\x80\x80", 0},
      {"\xF7\xBF\xBF\xBF", 0},
      // Cut short, at the end of the text or by a byte that is no continuation.
      {"\xC3", 0},
      {"\xE2\x82", 0},
      {"\xF0\x9F\x98", 0},
      {"\xC3\x41", 0},
      {"\xE2\x28\xA1", 0},
      {"\xE2\x82\x28", 0},
      {"\xF0\x9F\x98\x41", 0},
      {"\xF0\x9F\x98\xC3\xA9", 0},
  };
  for (const auto& [text, length] : cases)
    EXPECT_EQ(utf8_char_length(text), length) << ::testing::PrintToString(text);
}

TEST(Utf8Test, SanitizeReplacesEachByteThatStartsNoCharacter) {
  const std::string ascii20(20, 'a');
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"plain.txt", "plain.txt"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"\xF0\x9F\x93\xB7 \xE2\x82\xAC", "\xF0\x9F\x93\xB7 \xE2\x82\xAC"},
      {kFffd, kFffd},
      {"bad\xFF.jpg", "bad" + kFffd + ".jpg"},
      {"\x80\xBF", fffd(2)},
      {"\xC3", kFffd},
      {"ab\xE2\x82", "ab" + fffd(2)},  // cut short at the end
      {"\xF0\x9F\x98", fffd(3)},
      {"\xE2\x82\x41", fffd(2) + "A"},       // cut short by an ASCII byte
      {"\xC3\xC3\xA9", kFffd + "\xC3\xA9"},  // cut short by a lead byte
      {"\xC0\xAF", fffd(2)},                 // overlong '/'
      {"\xE0\x80\xAF", fffd(3)},
      {"\xED\xA0\x80", fffd(3)},          // surrogate
      {"\xF4\x90\x80\x80", fffd(4)},      // above U+10FFFF
      {"\xF8\x88\x80\x80\x80", fffd(5)},  // old 5-byte form
      // Past the 8-byte ASCII fast path, and a bad byte inside a word.
      {ascii20 + "\xFF" + ascii20, ascii20 + kFffd + ascii20},
      {"abcdefg\xFFhijklmno", "abcdefg" + kFffd + "hijklmno"},
      {std::string("a\0b\xFF", 4), std::string("a\0b", 3) + kFffd},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(utf8_sanitize(in), out) << ::testing::PrintToString(in);
    EXPECT_EQ(utf8_valid_prefix(in) == in.size(), in == out) << ::testing::PrintToString(in);
  }
}

// Texts as lists of characters; a cut must keep the longest run of whole
// leading characters that fits in capacity - 1 bytes, at every capacity.
TEST(TextCutTest, NeverSplitsACharacter) {
  const std::vector<std::vector<std::string>> texts = {
      {"a", "b", "c"},
      {"a", "\xC3\xA9", "b"},
      {"a", "\xE2\x82\xAC", "b"},
      {"a", "\xF0\x9F\x98\x80", "b"},
      {"\xF0\x9F\x98\x80", "\xE2\x82\xAC", "\xC3\xA9", "x", "\xF4\x8F\xBF\xBF"},
      {"\xE2\x82\xAC", "\xE2\x82\xAC", "\xE2\x82\xAC", "\xE2\x82\xAC"},
  };
  for (const std::vector<std::string>& chars : texts) {
    std::string text;
    for (const std::string& c : chars) text += c;
    for (size_t capacity = 0; capacity <= text.size() + 2; capacity++) {
      std::string want;
      for (const std::string& c : chars) {
        if (want.size() + c.size() + 1 > capacity) break;
        want += c;
      }
      EXPECT_EQ(text_cut(text, capacity), want)
          << ::testing::PrintToString(text) << " capacity " << capacity;
    }
  }
}

// Bytes that are not UTF-8 are cut as bytes: the text was already invalid,
// and a name from disk must keep its bytes.
TEST(TextCutTest, KeepsBytesThatAreNotUtf8) {
  struct Case {
    std::string text;
    size_t capacity;
    std::string want;
  };
  const Case cases[] = {
      {"ab\xFF\xFF"
       "cd",
       4, "ab\xFF"},
      {"\x80\x80\x80\x80", 3, "\x80\x80"},
      {"a\xE2\x82", 3, "a\xE2"},  // cut short already
      {"a\xC0\x80"
       "b",
       3, "a\xC0"},  // overlong
      {"a\xED\xA0\x80"
       "b",
       4, "a\xED\xA0"},  // surrogate
      {"a\xF4\x90\x80\x80"
       "b",
       4, "a\xF4\x90"},  // above U+10FFFF
      {"\xE2\x82\xAC\x80\x80"
       "b",
       5, "\xE2\x82\xAC\x80"},
      {"\xE2\x82\xAC\x80\x80"
       "b",
       3, ""},  // the euro is whole; the strays follow it
  };
  for (const Case& c : cases)
    EXPECT_EQ(text_cut(c.text, c.capacity), c.want)
        << ::testing::PrintToString(c.text) << " capacity " << c.capacity;
}

TEST(JsonPrintTest, PrintsValidUtf8WhateverTheStringsHold) {
  Json object = json_object();
  json_add_string(object.get(), "name", "caf\xC3\xA9 \xFF\xC3");
  json_add_string(object.get(), "n\xE9", "x");
  json_add_string(object.get(), "ctl", "\x01\"\\");
  std::string printed = json_print(object.get());
  EXPECT_EQ(printed, "{\"name\":\"caf\xC3\xA9 " + fffd(2) + "\",\"n" + kFffd +
                         "\":\"x\",\"ctl\":\"\\u0001\\\"\\\\\"}");
  EXPECT_EQ(utf8_valid_prefix(printed), printed.size());
  EXPECT_TRUE(json_parse(printed));
}

TEST(JsonRequestTest, UnsignedMembers) {
  Json d = json_parse(
      R"({"big":8589934592,"neg":-5,"frac":7.9,"text":"12","huge":1e30,"max":18446744073709551615})");
  struct Case {
    const char* name;
    uint64_t expect;
  };
  const Case cases[] = {
      {"big", 8589934592ULL}, {"neg", 0},           {"frac", 7},         {"text", 0},
      {"absent", 0},          {"huge", UINT64_MAX}, {"max", UINT64_MAX},
  };
  for (const Case& c : cases) EXPECT_EQ(json_get_u64(d.get(), c.name), c.expect) << c.name;
}

}  // namespace
}  // namespace halvex
