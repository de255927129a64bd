// Crash recording: on a fatal signal, one line goes to the crash log before
// the process dies.

#pragma once

namespace halvex {

// Installs handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT on an
// alternate stack. Crashes before crash_set_log_path() record nothing.
void crash_install();

// Sets the file that receives the crash line. Call after crash_install(),
// once the data folder is known. The path is copied (at most 4095 bytes).
void crash_set_log_path(const char* path);

}  // namespace halvex
