// Starting the agent's threads. Our code throws nothing, but the standard
// library does: std::bad_alloc when memory runs out, std::system_error when
// the system refuses a thread. An exception that leaves a thread's function
// ends the whole process (std::terminate), so every thread the agent starts
// goes through thread_start(), which
//   - gives the thread an alternate signal stack (platform/crash.h), so a
//     stack overflow on it is recorded in the crash log;
//   - runs its body through run_guarded(), which turns such an exception
//     into one ERROR log line and a call of the job's failure callback, with
//     "Out of memory" for an allocation failure;
//   - reports a thread that cannot be started to the same callback, on the
//     caller's thread, instead of throwing.
//
// Threads: any thread may call these. The failure callback runs on the
// thread that failed (or on the caller when the start failed) and must not
// throw itself.

#pragma once

#include <functional>
#include <string>
#include <thread>

namespace halvex {

// The texts handed to a failure callback.
constexpr const char* kOutOfMemoryError = "Out of memory";
constexpr const char* kThreadStartError = "Cannot start thread";

// Receives the error text of a failed body or start.
using ThreadFailure = std::function<void(const std::string& error)>;

// Runs body() on the calling thread. When an exception leaves it, logs
// ERROR "<tag>: stopped: <error>" and calls on_failure (when set)
// with "Out of memory" for std::bad_alloc, "System error: <what()>" for
// std::system_error and "Internal error" for anything else. True when the
// body ran to its end. Never throws unless on_failure does.
bool run_guarded(const char* tag, const std::function<void()>& body,
                 const ThreadFailure& on_failure = nullptr);

// Starts a detached thread that takes an alternate signal stack and runs
// `body` through run_guarded(). When the thread cannot be started, logs
// ERROR "<tag>: cannot start thread" and calls on_failure with
// "Cannot start thread" (or "Out of memory") on the caller's thread, and
// returns false; `body` then never runs.
bool thread_start(const char* tag, std::function<void()> body, ThreadFailure on_failure = nullptr);

// The same for a thread that its starter joins: on success *thread holds it.
bool thread_start_joinable(std::thread* thread, const char* tag, std::function<void()> body,
                           ThreadFailure on_failure = nullptr);

}  // namespace halvex
