// Crash recording: on a fatal signal, one line goes to the crash log before
// the process dies.
//
// The handler runs on an alternate signal stack, so that a stack overflow
// can still be recorded. Such a stack belongs to one thread: crash_install()
// gives the calling (main) thread one, and every other thread takes its own
// with a CrashThreadStack for as long as it runs (core/thread.h does this for
// every thread the agent starts). Where the system runs its crash filter on
// the faulting thread's own stack instead (Windows), a CrashThreadStack
// reserves enough of that stack for the filter.

#pragma once

namespace halvex {

// Installs handlers for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT on an
// alternate stack. Crashes before crash_set_log_path() record nothing.
void crash_install();

// Sets the file that receives the crash line. Call after crash_install(),
// once the data folder is known. The path is copied (at most 4095 bytes).
void crash_set_log_path(const char* path);

// An alternate signal stack for the calling thread while the object lives.
// Create it first thing on a thread and let it end with the thread; its
// destructor puts back whatever stack the thread had before and frees the
// buffer. Without memory for the buffer the thread simply has none (a stack
// overflow on it then kills the process without a crash line).
class CrashThreadStack {
 public:
  CrashThreadStack();
  ~CrashThreadStack();

  CrashThreadStack(const CrashThreadStack&) = delete;
  CrashThreadStack& operator=(const CrashThreadStack&) = delete;

 private:
  void* buffer_ = nullptr;
  // The stack_t in place before, kept as raw bytes so the header stays free
  // of system headers.
  alignas(16) unsigned char previous_[32];
};

}  // namespace halvex
