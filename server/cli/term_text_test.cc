#include "server/cli/term_text.h"

#include <gtest/gtest.h>

namespace halvex::server {
namespace {

TEST(TerminalSafeTest, WritesEveryControlOutVisibly) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"plain host-01", "plain host-01"},
      {"caf\xC3\xA9 \xE2\x9C\x93 \xF0\x9F\x98\x80",
       "caf\xC3\xA9 \xE2\x9C\x93 \xF0\x9F\x98\x80"},         // UTF-8 stays
      {"\x1B]0;owned\x07", "\\e]0;owned\\x07"},              // window title (OSC)
      {"a\x1B[2J\x1B[Hb", "a\\e[2J\\e[Hb"},                  // clear screen, cursor home
      {"line\nfake prompt\r$ ", "line\\nfake prompt\\r$ "},  // forged lines
      {"tab\there", "tab\\there"},
      {std::string("nul\0x", 5), "nul\\x00x"},
      {"del\x7F", "del\\x7f"},
      {"c1 \xC2\x9B"
       "31m",
       "c1 \\u009b31m"},  // CSI as U+009B
      {"nel \xC2\x85", "nel \\u0085"},
      {"nbsp \xC2\xA0", "nbsp \xC2\xA0"},  // printable, not C1
      {"raw \x9B"
       "31m",
       "raw \\x9b31m"},                      // lone C1 byte
      {"cut \xE2\x9C", "cut \\xe2\\x9c"},    // truncated character
      {"over \xC0\xAF", "over \\xc0\\xaf"},  // overlong
      {"back\\slash", "back\\\\slash"},      // unambiguous
  };
  for (const Case& c : cases) EXPECT_EQ(terminal_safe(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace halvex::server
