// Helpers of the Windows implementations only: text is UTF-8 everywhere
// else in the agent and becomes UTF-16 only at the Windows calls, and
// Windows error codes become readable causes here.
//
// Any thread; no state.

#pragma once

#include <windows.h>

#include <string>

namespace halvex::win32 {

// UTF-8 to UTF-16 and back. Invalid sequences become U+FFFD.
std::wstring to_wide(const std::string& text);
std::string to_utf8(const std::wstring& text);
std::string to_utf8(const wchar_t* text);

// The system's message for `code` in English where available, without the
// trailing line break, followed by " (code)": "Access is denied. (5)".
std::string error_text(DWORD code);

// A path for the wide-character file calls: UTF-16 with '/' turned into
// '\\', so the POSIX-style paths that tests and callers build work too.
std::wstring to_wide_path(const std::string& path);

// Owns a kernel handle; closes it once. INVALID_HANDLE_VALUE and null are
// both "no handle".
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : h_(h) {}
  ~Handle() { reset(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return h_; }
  bool valid() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
  HANDLE release() {
    HANDLE h = h_;
    h_ = nullptr;
    return h;
  }
  void reset(HANDLE h = nullptr) {
    if (valid()) ::CloseHandle(h_);
    h_ = h;
  }

 private:
  HANDLE h_ = nullptr;
};

}  // namespace halvex::win32
