// Crash recording through the unhandled-exception filter: the first thread
// that dies of an unhandled exception appends one line to the crash log,
// and the filter then ends the process without the system's error dialog.
//
// The filter runs on the faulting thread, maybe with a damaged heap: it
// formats into stack buffers and calls the kernel directly.

#include "platform/crash.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "platform/win32/text.h"

namespace halvex {
namespace {

wchar_t g_path[4096];
std::atomic<bool> g_crashing{false};

LONG WINAPI crash_filter(EXCEPTION_POINTERS* info) {
  if (g_crashing.exchange(true) || g_path[0] == L'\0') return EXCEPTION_EXECUTE_HANDLER;
  HANDLE file = ::CreateFileW(g_path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return EXCEPTION_EXECUTE_HANDLER;
  SYSTEMTIME t;
  ::GetLocalTime(&t);
  DWORD code = 0;
  uintptr_t address = 0;
  if (info != nullptr && info->ExceptionRecord != nullptr) {
    code = info->ExceptionRecord->ExceptionCode;
    address = reinterpret_cast<uintptr_t>(info->ExceptionRecord->ExceptionAddress);
  }
  // The address as the Windows C runtime prints %p: 16 upper-case digits.
  char line[160];
  int n = std::snprintf(
      line, sizeof line,
      "[%04u-%02u-%02uT%02u:%02u:%02u] CRASH: exception code 0x%08lX at address %016llX\n", t.wYear,
      t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, static_cast<unsigned long>(code),
      static_cast<unsigned long long>(address));
  if (n > 0) {
    DWORD written = 0;
    ::WriteFile(file, line,
                static_cast<DWORD>(n < static_cast<int>(sizeof line) ? n : sizeof line - 1),
                &written, nullptr);
  }
  ::CloseHandle(file);
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void crash_install() { ::SetUnhandledExceptionFilter(crash_filter); }

// Windows has no signal stacks: the filter runs on the faulting thread's own
// stack. After a stack overflow only the guarantee is left to run it on, so
// every thread asks for enough to format and write the crash line. The
// guarantee lasts as long as the thread; there is nothing to put back.
CrashThreadStack::CrashThreadStack() {
  ULONG size = 64 * 1024;
  ::SetThreadStackGuarantee(&size);
}

CrashThreadStack::~CrashThreadStack() = default;

void crash_set_log_path(const char* path) {
  std::wstring w = win32::to_wide_path(path != nullptr ? path : "");
  size_t n = w.size() < 4095 ? w.size() : 4095;
  w.copy(g_path, n);
  g_path[n] = L'\0';
}

}  // namespace halvex
