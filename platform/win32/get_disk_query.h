// Running the disk list query: PowerShell's Get-Disk, its CSV on a pipe.
// Split from disks.cc so that tests can run the same pipe reading on a
// command that works under wine (whose PowerShell prints nothing).
//
// Any thread; no state.

#pragma once

#include <string>

namespace halvex::win32 {

// The query: powershell -NoProfile -Command "Get-Disk | Select-Object
// Number,FriendlyName,Size,BusType | ConvertTo-Csv -NoTypeInformation".
extern const wchar_t* const kGetDiskCommand;

// Runs `command_line` hidden (no console window), with standard output and
// standard error both on one pipe and only that pipe's write end inherited,
// and reads the pipe to its end into *output. Then waits at most 5 s for
// the process to end; one that hangs after closing its output is left to
// itself, not killed. False with *error set when the pipe or the process
// could not be made; *output then is empty.
bool get_disk_run_query(const std::wstring& command_line, std::string* output, std::string* error);

}  // namespace halvex::win32
