// Text a machine controls, printed by the operator's tools on the real
// recovery-server: an escape sequence in an event reaches the operator's
// terminal written out (never as raw control bytes) in human output, and
// unchanged in JSON output, which programs read.

#include <gtest/gtest.h>

#include "tests/security/linked_agent.h"
#include "tests/security/security_util.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;

// Retitles the window, clears the screen and forges a line, as C0, C1
// (U+009B, CSI) and DEL.
const std::string kHostile =
    "disk\x1B]0;owned\x07\x1B[2J\nrecovery-server: all fine \xC2\x9B"
    "31m\x7F";

bool has_raw_controls(const std::string& text) {
  for (size_t i = 0; i < text.size(); i++) {
    auto c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\n') || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) < 0xA0)
      return true;
  }
  return false;
}

using TerminalEscapeTest = testing::ServerTest;

TEST_F(TerminalEscapeTest, HumanOutputEscapesMachineTextAndJsonKeepsIt) {
  ASSERT_TRUE(serve());
  testing::AgentClient agent("5ec0000e0b01");
  ASSERT_TRUE(testing::link_agent(server_, agent, "EEEE22", "alice"));
  Json d = json_object();
  json_add_string(d.get(), "error", kHostile);
  ASSERT_TRUE(agent.send("job_error", std::move(d)));

  std::string human;
  ASSERT_TRUE(testing::eventually(
      [&] {
        return server_.run({"events", "5ec0000e0b01", "--human"}, "", &human) == 0 &&
               human.find("job_error") != std::string::npos;
      },
      20s))
      << server_.last_output();
  EXPECT_FALSE(has_raw_controls(human)) << human;
  EXPECT_NE(
      human.find(
          "job_error error=disk\\e]0;owned\\x07\\e[2J\\nrecovery-server: all fine \\u009b31m\\x7f"),
      std::string::npos)
      << human;

  std::string json_lines;
  ASSERT_EQ(server_.run({"events", "5ec0000e0b01"}, "", &json_lines), 0) << server_.last_output();
  std::string last = json_lines.substr(json_lines.rfind('\n', json_lines.size() - 2) + 1);
  Json e = json_parse(last);
  ASSERT_TRUE(e) << last;
  EXPECT_EQ(json_get_string(json_get(e.get(), "d"), "error"), kHostile);
}

}  // namespace
}  // namespace halvex
