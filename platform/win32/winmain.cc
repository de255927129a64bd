// The agent's entry on Windows: a GUI-subsystem program without a console.
// Before anything else it makes sure it runs elevated: a process whose token
// is not elevated starts itself again through the shell's "runas" verb (the
// elevation prompt) and ends; if that fails, because the user declined the
// prompt or for any other reason, it runs on unelevated without a message.

#include <windows.h>
#include <shellapi.h>

#include "platform/entry.h"
#include "platform/system.h"

namespace {

// Set before the re-launch. A real elevation starts the new process with a
// fresh environment; where "runas" only starts it plainly (no UAC, a
// standard user), the variable comes along and stops a second re-launch,
// which would otherwise repeat for ever.
constexpr wchar_t kRelaunchedVariable[] = L"HALVEX_SERVICE_RELAUNCHED";

// True when an elevated copy of this program was started.
bool relaunch_elevated() {
  if (::GetEnvironmentVariableW(kRelaunchedVariable, nullptr, 0) != 0) return false;
  wchar_t exe[MAX_PATH];
  DWORD n = ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return false;
  ::SetEnvironmentVariableW(kRelaunchedVariable, L"1");
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.lpVerb = L"runas";
  info.lpFile = exe;
  info.lpParameters = ::GetCommandLineW();
  info.nShow = SW_SHOWNORMAL;
  bool started = ::ShellExecuteExW(&info) != FALSE;
  ::SetEnvironmentVariableW(kRelaunchedVariable, nullptr);
  return started;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  if (!halvex::system_is_elevated() && relaunch_elevated()) return 0;
  halvex::agent_main();
  return 0;
}
