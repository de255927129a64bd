// Processes on Windows: the browser through the shell, this process's id,
// and an immediate exit.

#include "platform/process.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>

#include "platform/win32/text.h"

namespace halvex {

void process_open_url(const std::string& url) {
  ::ShellExecuteW(nullptr, L"open", win32::to_wide(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

bool process_may_open_browser() { return true; }

int process_current_id() { return static_cast<int>(::GetCurrentProcessId()); }

void process_exit(int code) {
  std::fflush(stdout);
  std::fflush(stderr);
  // TerminateProcess rather than ExitProcess: no DLL detach and no static
  // destructor runs while other threads still use what they would free.
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(code));
  for (;;) ::Sleep(INFINITE);  // not reached
}

}  // namespace halvex
