// Starting a process the way every Windows part of the agent does: hidden,
// without a console window (with a hidden console or none), and inheriting exactly the handles
// named (as an explicit handle list, so that a handle another thread has just made inheritable
// never leaks into the child). Used by spawn.cc, by the disk list's PowerShell query and by the
// update hand-over.
//
// Any thread; no state.

#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace halvex::win32 {

struct ProcessStart {
  std::wstring application;  // the program's path; empty: the command line's first word, searched
  std::wstring command_line;
  HANDLE std_output = nullptr;  // must be in `inherit` when set
  HANDLE std_error = nullptr;   // must be in `inherit` when set
  std::vector<HANDLE> inherit;  // the only handles the child gets
  bool own_group =
      false;  // a process group of its own, out of the agent's job where the job allows it
  // A hidden console of its own (CREATE_NO_WINDOW), for programs that need
  // one, as cmd's `timeout` does; else none at all (DETACHED_PROCESS), so no
  // console host process is started beside the child. Under wine, that host
  // outlives a child ended while it was still starting, for good, and holds
  // on to the standard error it inherited from the agent's process.
  bool console = true;
};

// Starts the process. On success *info holds its process and thread
// handles, which the caller closes; on failure the result is the system's
// error code (0 on success).
DWORD start_process(const ProcessStart& start, PROCESS_INFORMATION* info);

}  // namespace halvex::win32
