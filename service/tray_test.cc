// The tray's menu as each front end shows it, from the linked flag and the
// status line.

#include "service/tray.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace halvex {
namespace {

// One line per entry: "label:<text>", "command:<index>:<text>" or "----".
std::vector<std::string> menu_lines() {
  std::vector<std::string> lines;
  for (const TrayMenuItem& item : tray_menu()) {
    switch (item.kind) {
      case TrayMenuItem::Kind::kLabel:
        lines.push_back("label:" + item.text);
        break;
      case TrayMenuItem::Kind::kCommand:
        lines.push_back("command:" + std::to_string(item.command) + ":" + item.text);
        break;
      case TrayMenuItem::Kind::kSeparator:
        lines.push_back("----");
        break;
    }
  }
  return lines;
}

TEST(TrayMenuTest, EntriesFollowLinkedFlagAndStatus) {
  const struct {
    bool linked;
    std::string status;
    std::vector<std::string> lines;
  } cases[] = {
      {false,
       "Not linked",
       {"label:Halvex Service v0.2.1", "label:Not linked", "----", "command:0:Login with Browser",
        "----", "command:3:Exit"}},
      {true,
       "Connected \u2014 eve",
       {"label:Halvex Service v0.2.1", "label:Connected \u2014 eve", "----",
        "command:1:Open Dashboard", "----", "command:2:Disconnect", "----", "command:3:Exit"}},
      // The status line is cut as the tray's field is: 127 bytes.
      {false,
       std::string(300, 's'),
       {"label:Halvex Service v0.2.1", "label:" + std::string(127, 's'), "----",
        "command:0:Login with Browser", "----", "command:3:Exit"}},
  };
  for (const auto& c : cases) {
    tray_set_linked(c.linked);
    tray_set_status(c.status);
    EXPECT_EQ(menu_lines(), c.lines) << c.status;
  }
  tray_set_linked(false);
  tray_set_status("Not linked");
}

}  // namespace
}  // namespace halvex
