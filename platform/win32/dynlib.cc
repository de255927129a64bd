// LoadLibraryExW. The executable's folder is where the installer put the
// agent (under Program Files, which only administrators can change), so a
// library beside it needs no owner check of its own here.

#include "platform/dynlib.h"

#include <windows.h>

#include "platform/files.h"
#include "platform/win32/text.h"

namespace halvex {

struct DynLib {
  HMODULE module = nullptr;
};

namespace {

DynLibPtr load(const std::string& name, const std::wstring& file, DWORD flags, std::string* error) {
  HMODULE module = ::LoadLibraryExW(file.c_str(), nullptr, flags);
  if (!module) {
    *error = "load " + name + ": " + win32::error_text(::GetLastError());
    return nullptr;
  }
  return DynLibPtr(new DynLib{module});
}

}  // namespace

void DynLibCloser::operator()(DynLib* lib) const {
  if (!lib) return;
  ::FreeLibrary(lib->module);
  delete lib;
}

DynLibPtr dynlib_open_beside_exe(const std::string& file, std::string* error) {
  std::string dir = exe_dir();
  if (dir.empty()) {
    *error = "load " + file + ": the executable's folder is unknown";
    return nullptr;
  }
  std::string path = dir + "\\" + file;
  // The library's own dependencies are looked for beside it first.
  return load(path, win32::to_wide_path(path), LOAD_WITH_ALTERED_SEARCH_PATH, error);
}

DynLibPtr dynlib_open_system(const std::string& name, std::string* error) {
  // The application's folder, System32 and added folders: never the current
  // folder or PATH, where anybody may have put a file of that name.
  return load(name, win32::to_wide(name), LOAD_LIBRARY_SEARCH_DEFAULT_DIRS, error);
}

void* dynlib_symbol(DynLib& lib, const char* symbol) {
  return reinterpret_cast<void*>(::GetProcAddress(lib.module, symbol));
}

}  // namespace halvex
