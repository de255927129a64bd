// What tests of the Windows tray reach beyond platform/tray_ui.h: the
// window's message numbers, the shell's answers, and the menu as built.

#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace halvex {

// The icon's callback message (WM_USER + 20) and the first command id: the
// menu command with index i has the id 1001 + i.
constexpr UINT kTrayIconMessage = WM_USER + 20;
constexpr UINT kTrayFirstCommandId = 1001;

namespace win32 {

// The last Shell_NotifyIconW calls, oldest first: "add ok: <tooltip>",
// "modify ok: <tooltip>", "delete ok" ("failed" where the shell refused).
std::vector<std::string> tray_shell_calls();

// The popup menu as a right-click would show it now. The caller destroys it.
// REQUIRES: tray_ui_open() has run.
HMENU tray_build_menu();

}  // namespace win32
}  // namespace halvex
