// The single-instance name as a named kernel mutex, owned from creation and
// never released: the system releases it when the process ends.

#include "platform/instance.h"

#include <windows.h>

#include "platform/win32/text.h"

namespace halvex {

bool instance_try_acquire(const char* name, const std::string& /*data_dir*/) {
  HANDLE mutex = ::CreateMutexW(nullptr, TRUE, win32::to_wide(name).c_str());
  if (mutex == nullptr) return false;
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(mutex);
    return false;
  }
  return true;  // the handle stays open until the process ends
}

}  // namespace halvex
