// The notification-area front end under wine on a private X server: the
// icon reaches the shell (wine's explorer tray), tooltips follow, the
// window's messages reach the host, the popup menu is built from the host's
// entries, and closing removes the icon and ends the loop.
//
// The tray runs on a thread of its own here, as on the agent's main thread;
// the test drives it with window messages to its message-only window.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/tray_ui.h"
#include "platform/win32/text.h"
#include "platform/win32/tray_ui_testing.h"

namespace halvex {
namespace {

std::mutex g_mu;
std::vector<int> g_commands;  // what reached the host, in order
std::atomic<int> g_activations{0};

void on_command(int command) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_commands.push_back(command);
}

void on_activate() { g_activations++; }

std::vector<TrayMenuItem> menu() {
  using Kind = TrayMenuItem::Kind;
  return {{Kind::kLabel, "Halvex Service v0.2.1", -1},
          {Kind::kLabel, "Connected \u2014 \u00e9ve", -1},
          {Kind::kSeparator, "", -1},
          {Kind::kCommand, "Open Dashboard", 1},
          {Kind::kSeparator, "", -1},
          {Kind::kCommand, "Disconnect", 2},
          {Kind::kSeparator, "", -1},
          {Kind::kCommand, "Exit", 3}};
}

std::vector<int> take_commands() {
  std::lock_guard<std::mutex> lock(g_mu);
  std::vector<int> out;
  out.swap(g_commands);
  return out;
}

bool eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 200; i++) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return done();
}

bool shell_saw(const std::string& entry) {
  for (const std::string& call : win32::tray_shell_calls())
    if (call == entry) return true;
  return false;
}

HWND find_tray_window() {
  return ::FindWindowExW(HWND_MESSAGE, nullptr, L"HalvexServiceTray", L"Halvex Service Tray");
}

struct MenuEntry {
  UINT id;
  bool separator;
  bool grayed;
  std::string text;
};

std::vector<MenuEntry> read_menu(HMENU menu) {
  std::vector<MenuEntry> out;
  int count = ::GetMenuItemCount(menu);
  for (int i = 0; i < count; i++) {
    wchar_t text[128] = {};
    MENUITEMINFOW info{};
    info.cbSize = sizeof info;
    info.fMask = MIIM_ID | MIIM_FTYPE | MIIM_STATE | MIIM_STRING;
    info.dwTypeData = text;
    info.cch = 127;
    if (!::GetMenuItemInfoW(menu, static_cast<UINT>(i), TRUE, &info)) continue;
    out.push_back({info.wID, (info.fType & MFT_SEPARATOR) != 0, (info.fState & MFS_GRAYED) != 0,
                   win32::to_utf8(text)});
  }
  return out;
}

TEST(Win32TrayTest, IconLifecycleThroughWindowMessages) {
  // A tooltip shown before the icon exists (the connection thread starts
  // before the tray) is the one the icon is added with.
  tray_ui_show_tooltip("Halvex Service \u2014 Reconnecting...");
  std::atomic<bool> loop_ended{false};
  std::string open_error;
  std::thread tray([&] {
    TrayUiHost host;
    host.icon_path = "C:/no/such/icon.ico";  // falls back to the program's icon
    host.tooltip = "Halvex Service v0.2.1";
    host.on_command = on_command;
    host.on_activate = on_activate;
    host.menu = menu;
    // False while the shell's tray is not up yet; the icon follows later.
    if (!tray_ui_open(host, &open_error)) std::printf("tray_ui_open: %s\n", open_error.c_str());
    tray_ui_loop();
    loop_ended = true;
  });
  struct Joiner {
    std::thread& thread;
    ~Joiner() {
      if (!thread.joinable()) return;
      tray_ui_quit();  // a failed ASSERT left the tray running
      thread.join();
    }
  } joiner{tray};

  // Added: one message-only window of the class, and the shell took the icon.
  HWND hwnd = nullptr;
  ASSERT_TRUE(eventually([&] { return (hwnd = find_tray_window()) != nullptr; }));
  ASSERT_TRUE(eventually([] { return shell_saw("add ok: Halvex Service \u2014 Reconnecting..."); }))
      << open_error << " " << testing::PrintToString(win32::tray_shell_calls());
  EXPECT_EQ(::GetParent(hwnd), nullptr);

  // Tooltips from another thread reach the shell as NIM_MODIFY, cut to the
  // record's 127 units.
  tray_ui_show_tooltip("Halvex Service v0.2.1 \u2014 \u00e9ve");
  EXPECT_TRUE(eventually([] {
    return shell_saw("modify ok: Halvex Service v0.2.1 \u2014 \u00e9ve");
  })) << testing::PrintToString(win32::tray_shell_calls());
  tray_ui_show_tooltip(std::string(200, 'x'));
  EXPECT_TRUE(eventually([] { return shell_saw("modify ok: " + std::string(127, 'x')); }));

  // Menu commands arrive as WM_COMMAND ids 1001..1004; other ids do nothing.
  const struct {
    WPARAM id;
    std::vector<int> reaches;
  } commands[] = {
      {1001, {0}}, {1002, {1}}, {1003, {2}}, {1004, {3}}, {1000, {}}, {1005, {}}, {0, {}},
  };
  for (const auto& c : commands) {
    ::SendMessageW(hwnd, WM_COMMAND, c.id, 0);
    EXPECT_EQ(take_commands(), c.reaches) << "id " << c.id;
  }

  // A double-click is the host's default action; other mouse messages
  // reach no command.
  ::SendMessageW(hwnd, kTrayIconMessage, 1, WM_LBUTTONDBLCLK);
  EXPECT_EQ(g_activations, 1);
  ::SendMessageW(hwnd, kTrayIconMessage, 1, WM_MOUSEMOVE);
  ::SendMessageW(hwnd, kTrayIconMessage, 1, WM_LBUTTONUP);
  EXPECT_EQ(g_activations, 1);
  EXPECT_TRUE(take_commands().empty());

  // The popup menu as a right-click builds it from the host's entries.
  HMENU popup = win32::tray_build_menu();
  ASSERT_NE(popup, nullptr);
  std::vector<MenuEntry> entries = read_menu(popup);
  ::DestroyMenu(popup);
  ASSERT_EQ(entries.size(), 8u);
  const MenuEntry expected[] = {
      {0, false, true, "Halvex Service v0.2.1"},
      {0, false, true, "Connected \u2014 \u00e9ve"},
      {0, true, false, ""},
      {1002, false, false, "Open Dashboard"},
      {0, true, false, ""},
      {1003, false, false, "Disconnect"},
      {0, true, false, ""},
      {1004, false, false, "Exit"},
  };
  for (size_t i = 0; i < entries.size(); i++) {
    EXPECT_EQ(entries[i].separator, expected[i].separator) << i;
    if (expected[i].separator) continue;
    EXPECT_EQ(entries[i].id, expected[i].id) << i;
    EXPECT_EQ(entries[i].grayed, expected[i].grayed) << i;
    EXPECT_EQ(entries[i].text, expected[i].text) << i;
  }

  // Quit closes the window: the icon is deleted and the loop returns.
  tray_ui_quit();
  ASSERT_TRUE(eventually([&] { return loop_ended.load(); }));
  tray.join();
  EXPECT_EQ(win32::tray_shell_calls().back(), "delete ok");
  EXPECT_EQ(find_tray_window(), nullptr);
  // A tooltip after the end goes nowhere.
  size_t calls = win32::tray_shell_calls().size();
  tray_ui_show_tooltip("late");
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(win32::tray_shell_calls().size(), calls);
}

}  // namespace
}  // namespace halvex
