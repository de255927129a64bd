// The control socket's input: the command names and the bounded line reader.

#include "service/control.h"

#include <gtest/gtest.h>

namespace halvex {
namespace {

TEST(ControlTest, ParsesExactlyTheCommandNames) {
  struct {
    const char* line;
    std::optional<ControlCommand> command;
  } cases[] = {
      {"login", ControlCommand::kLogin},
      {"dashboard", ControlCommand::kDashboard},
      {"disconnect", ControlCommand::kDisconnect},
      {"exit", ControlCommand::kExit},
      {"status", ControlCommand::kStatus},
      {"status\r", ControlCommand::kStatus},
      {"", std::nullopt},
      {"menu", std::nullopt},  // the console's, not the socket's
      {"Status", std::nullopt},
      {" status", std::nullopt},
      {"status ", std::nullopt},
      {"status\r\r", std::nullopt},
      {"exit\n", std::nullopt},
      {"login now", std::nullopt},
  };
  for (auto& c : cases) EXPECT_EQ(control_parse(c.line), c.command) << c.line;
  EXPECT_EQ(control_parse(std::string_view("exit\0x", 6)), std::nullopt);
}

TEST(ControlTest, TakesOneBoundedLineAtATime) {
  const std::string longest(kControlLineBytes, 'a');
  struct {
    std::string pending;
    ControlLine result;
    std::string line;
    std::string rest;
  } cases[] = {
      {"", ControlLine::kMore, "", ""},
      {"stat", ControlLine::kMore, "", "stat"},
      {"status\n", ControlLine::kLine, "status", ""},
      {"status\nexit\n", ControlLine::kLine, "status", "exit\n"},
      {"\n", ControlLine::kLine, "", ""},
      {longest + "\n", ControlLine::kLine, longest, ""},
      {longest, ControlLine::kMore, "", longest},
      {longest + "a", ControlLine::kTooLong, "", longest + "a"},
      {longest + "a\n", ControlLine::kTooLong, "", longest + "a\n"},
      {std::string(10000, 'x') + "\n", ControlLine::kTooLong, "", std::string(10000, 'x') + "\n"},
  };
  for (auto& c : cases) {
    std::string pending = c.pending, line;
    EXPECT_EQ(control_take_line(&pending, &line), c.result) << c.pending.size();
    EXPECT_EQ(line, c.line) << c.pending.size();
    EXPECT_EQ(pending, c.rest) << c.pending.size();
  }
}

}  // namespace
}  // namespace halvex
