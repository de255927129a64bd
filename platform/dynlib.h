// Shared libraries loaded at run time, for optional dependencies the agent
// works without (the USB library of the drone link).
//
// A library beside the executable is preferred over the system's copy, as
// a program ships its own. Since a library runs with the rights of the
// process, a privileged process takes one from beside the executable only
// when the administrator owns it and nobody else can change it (on Windows
// the executable's folder is the installation folder, which only the
// administrators can change, and the system's search leaves out the
// current folder and PATH).
//
// Threads: any thread. A handle is closed (and the library possibly
// unloaded) when its DynLibPtr goes; symbols from it must not be used after.

#pragma once

#include <memory>
#include <string>

namespace halvex {

struct DynLib;
struct DynLibCloser {
  void operator()(DynLib* lib) const;
};
using DynLibPtr = std::unique_ptr<DynLib, DynLibCloser>;

// Loads `file` from the executable's folder. When the process runs as the
// administrator (root here), the file must be a regular file owned by root
// and writable by nobody else, or it is not loaded. Null with *error set on
// failure.
DynLibPtr dynlib_open_beside_exe(const std::string& file, std::string* error);

// Loads `name` through the system's ordinary search. Null with *error set.
DynLibPtr dynlib_open_system(const std::string& name, std::string* error);

// The address of `symbol`, or null when the library has none.
void* dynlib_symbol(DynLib& lib, const char* symbol);

}  // namespace halvex
