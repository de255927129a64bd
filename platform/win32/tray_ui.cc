// The tray as a notification-area icon. A message-only window of class
// "HalvexServiceTray" receives the icon's mouse messages and the menu's
// commands; the main thread runs its message loop.
//
// The icon record (NOTIFYICONDATAW) is touched only on the main thread:
// a tooltip set from another thread is handed over under g_tip_mu and
// applied by the window procedure on a private message, so Shell_NotifyIconW
// never races the window's own NIM_DELETE.

#include "platform/tray_ui.h"

#include <windows.h>
#include <shellapi.h>

#include <atomic>
#include <cwchar>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win32/text.h"
#include "platform/win32/tray_ui_testing.h"

namespace halvex {
namespace {

constexpr wchar_t kClassName[] = L"HalvexServiceTray";
constexpr wchar_t kWindowTitle[] = L"Halvex Service Tray";
constexpr UINT kIconId = 1;
constexpr UINT kApplyTooltip = WM_APP + 1;
constexpr UINT kRunCommand = WM_APP + 2;  // wparam: the command index
// While the shell refuses the icon (its tray is not up yet, as at an early
// logon start), the add is tried again this often.
constexpr UINT_PTR kAddRetryTimer = 1;
constexpr UINT kAddRetryMs = 1000;
constexpr wchar_t kBalloonText[] =
    L"Halvex Service is running.\nRight-click for menu, double-click for dashboard.";
constexpr wchar_t kBalloonTitle[] = L"Halvex Service";

// Main thread only, once tray_ui_open has run.
TrayUiHost g_host;
NOTIFYICONDATAW g_nid{};

std::atomic<HWND> g_hwnd{nullptr};
std::atomic<DWORD> g_loop_thread{0};

std::mutex g_tip_mu;  // guards the pending tooltip and g_shell_log; takes no other lock
std::wstring g_pending_tip;
bool g_tip_pending = false;            // a tooltip came since the record last took one
std::vector<std::string> g_shell_log;  // the last kShellLogMax calls, for tests
constexpr size_t kShellLogMax = 16;

// Copies `text` into a fixed field, cut to its capacity.
template <size_t N>
void set_field(wchar_t (&field)[N], const std::wstring& text) {
  size_t n = text.size() < N - 1 ? text.size() : N - 1;
  text.copy(field, n);
  field[n] = L'\0';
}

bool shell_call(DWORD message, const char* what) {
  BOOL ok = ::Shell_NotifyIconW(message, &g_nid);
  std::lock_guard<std::mutex> lock(g_tip_mu);
  std::string entry = std::string(what) + (ok ? " ok" : " failed");
  if (message != NIM_DELETE) entry += ": " + win32::to_utf8(g_nid.szTip);
  if (g_shell_log.size() == kShellLogMax) g_shell_log.erase(g_shell_log.begin());
  g_shell_log.push_back(entry);
  return ok != FALSE;
}

// The .ico file, else the program's own small icon, else the system's.
HICON load_icon(const std::string& path) {
  HICON icon = nullptr;
  if (!path.empty()) {
    icon = static_cast<HICON>(::LoadImageW(nullptr, win32::to_wide_path(path).c_str(), IMAGE_ICON,
                                           0, 0, LR_LOADFROMFILE | LR_DEFAULTSIZE));
  }
  if (icon == nullptr) {
    wchar_t exe[MAX_PATH];
    DWORD n = ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    if (n > 0 && n < MAX_PATH) ::ExtractIconExW(exe, 0, nullptr, &icon, 1);
  }
  if (icon == nullptr) icon = ::LoadIconW(nullptr, IDI_APPLICATION);
  return icon;
}

HMENU build_menu() {
  HMENU menu = ::CreatePopupMenu();
  if (menu == nullptr || g_host.menu == nullptr) return menu;
  for (const TrayMenuItem& item : g_host.menu()) {
    switch (item.kind) {
      case TrayMenuItem::Kind::kLabel:
        ::AppendMenuW(menu, MF_STRING | MF_GRAYED, 0, win32::to_wide(item.text).c_str());
        break;
      case TrayMenuItem::Kind::kCommand:
        ::AppendMenuW(menu, MF_STRING, kTrayFirstCommandId + static_cast<UINT_PTR>(item.command),
                      win32::to_wide(item.text).c_str());
        break;
      case TrayMenuItem::Kind::kSeparator:
        ::AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        break;
    }
  }
  return menu;
}

void show_menu(HWND hwnd) {
  HMENU menu = build_menu();
  if (menu == nullptr) return;
  POINT at{};
  ::GetCursorPos(&at);
  // Without this the menu stays open when the user clicks elsewhere.
  ::SetForegroundWindow(hwnd);
  ::TrackPopupMenu(menu, TPM_BOTTOMALIGN, at.x, at.y, 0, hwnd, nullptr);
  ::DestroyMenu(menu);
}

bool add_icon() {
  g_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
  return shell_call(NIM_ADD, "add");
}

void apply_tooltip() {
  {
    std::lock_guard<std::mutex> lock(g_tip_mu);
    if (!g_tip_pending) return;
    g_tip_pending = false;
    set_field(g_nid.szTip, g_pending_tip);
  }
  g_nid.uFlags = NIF_TIP;
  shell_call(NIM_MODIFY, "modify");
}

LRESULT CALLBACK tray_wndproc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case kTrayIconMessage:
      if (g_host.on_command == nullptr) return 0;
      if (LOWORD(lparam) == WM_LBUTTONDBLCLK) {
        if (g_host.on_activate != nullptr) g_host.on_activate();
        return 0;
      }
      if (LOWORD(lparam) == WM_RBUTTONUP) {
        show_menu(hwnd);
        return 0;
      }
      break;
    case WM_COMMAND: {
      UINT id = LOWORD(wparam);
      if (id >= kTrayFirstCommandId && id <= kTrayFirstCommandId + 3) {
        if (g_host.on_command != nullptr)
          g_host.on_command(static_cast<int>(id - kTrayFirstCommandId));
        return 0;
      }
      break;
    }
    case kApplyTooltip:
      apply_tooltip();
      return 0;
    case kRunCommand:
      if (g_host.on_command != nullptr) g_host.on_command(static_cast<int>(wparam));
      return 0;
    case WM_TIMER:
      if (wparam != kAddRetryTimer) break;
      if (add_icon()) ::KillTimer(hwnd, kAddRetryTimer);
      return 0;
    case WM_DESTROY:
      shell_call(NIM_DELETE, "delete");
      g_hwnd = nullptr;
      ::PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(hwnd, message, wparam, lparam);
}

}  // namespace

bool tray_ui_init(std::string*) { return true; }

bool tray_ui_open(const TrayUiHost& host, std::string* error) {
  g_host = host;
  g_loop_thread = ::GetCurrentThreadId();
  HINSTANCE module = ::GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = tray_wndproc;
  wc.hInstance = module;
  wc.lpszClassName = kClassName;
  ::RegisterClassExW(&wc);  // fails harmlessly when already registered
  HWND hwnd = ::CreateWindowExW(0, kClassName, kWindowTitle, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                module, nullptr);
  if (hwnd == nullptr) {
    *error = "creating the tray window: " + win32::error_text(::GetLastError());
    return false;
  }
  g_hwnd = hwnd;

  g_nid = NOTIFYICONDATAW{};
  g_nid.cbSize = sizeof g_nid;
  g_nid.hWnd = hwnd;
  g_nid.uID = kIconId;
  g_nid.uCallbackMessage = kTrayIconMessage;
  g_nid.hIcon = load_icon(host.icon_path);
  {
    // A tooltip shown since the host was filled in is newer than its own.
    std::lock_guard<std::mutex> lock(g_tip_mu);
    set_field(g_nid.szTip, g_tip_pending ? g_pending_tip : win32::to_wide(host.tooltip));
    g_tip_pending = false;
  }
  set_field(g_nid.szInfo, kBalloonText);
  set_field(g_nid.szInfoTitle, kBalloonTitle);
  g_nid.dwInfoFlags = NIIF_INFO;
  if (!add_icon()) {
    ::SetTimer(hwnd, kAddRetryTimer, kAddRetryMs, nullptr);
    *error = "the shell did not take the notification icon; trying again every second";
    return false;
  }
  return true;
}

void tray_ui_loop() {
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
}

void tray_ui_quit() {
  HWND hwnd = g_hwnd;
  if (hwnd != nullptr)
    ::PostMessageW(hwnd, WM_CLOSE, 0, 0);
  else if (g_loop_thread != 0)
    ::PostThreadMessageW(g_loop_thread, WM_QUIT, 0, 0);  // no window: end the loop itself
}

bool tray_ui_wants_control_socket() { return false; }

void tray_ui_post(int command) {
  HWND hwnd = g_hwnd;
  if (hwnd != nullptr) ::PostMessageW(hwnd, kRunCommand, static_cast<WPARAM>(command), 0);
}

// The menu reads the status line when it opens.
void tray_ui_show_status(const std::string&) {}

// Before the icon exists the text waits for tray_ui_open; after it is gone,
// nothing takes it.
void tray_ui_show_tooltip(const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(g_tip_mu);
    g_pending_tip = win32::to_wide(text);
    g_tip_pending = true;
  }
  HWND hwnd = g_hwnd;
  if (hwnd != nullptr) ::PostMessageW(hwnd, kApplyTooltip, 0, 0);
}

namespace win32 {

std::vector<std::string> tray_shell_calls() {
  std::lock_guard<std::mutex> lock(g_tip_mu);
  return g_shell_log;
}

HMENU tray_build_menu() { return build_menu(); }

}  // namespace win32
}  // namespace halvex
