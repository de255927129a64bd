#include "core/thread.h"

#include <mutex>
#include <new>
#include <set>
#include <string>
#include <system_error>
#include <utility>

#include "core/log.h"
#include "core/thread_testing.h"
#include "platform/crash.h"

namespace halvex {

namespace {

// Armed test failures, by tag. Empty in the product, so the check costs a
// lock per thread start and nothing more. Looking a tag up allocates
// nothing (std::less<> compares the literal itself).
using Tags = std::multiset<std::string, std::less<>>;
struct Injected {
  std::mutex mu;
  Tags bodies;
  Tags starts;
};

Injected& injected() {
  static Injected* i = new Injected;  // never destroyed: detached threads may look
  return *i;
}

bool take(Tags Injected::*set, const char* tag) {
  Injected& i = injected();
  std::lock_guard<std::mutex> lock(i.mu);
  auto it = (i.*set).find(tag);
  if (it == (i.*set).end()) return false;
  (i.*set).erase(it);
  return true;
}

// Hands error + detail to the job's callback. Making the text and the
// event may run out of memory in turn; that must not end the process
// either, so both happen under a guard of their own.
void report(const char* tag, const ThreadFailure& on_failure, const char* error,
            const char* detail) {
  if (!on_failure) return;
  try {
    on_failure(std::string(error) + detail);
  } catch (...) {
    log_msg(LOG_ERROR, "%s: failure report lost: %s%s", tag, error, detail);
  }
}

void fail(const char* tag, const ThreadFailure& on_failure, const char* error,
          const char* detail = "") {
  log_msg(LOG_ERROR, "%s: stopped: %s%s", tag, error, detail);
  report(tag, on_failure, error, detail);
}

// The function every started thread runs. `tag` is a literal and outlives
// the thread.
void thread_main(const char* tag, const std::function<void()>& body,
                 const ThreadFailure& on_failure) {
  CrashThreadStack alt_stack;
  run_guarded(tag, body, on_failure);
}

// Starts thread_main on a new thread, or reports why it could not be
// started. The copies of body and on_failure are made inside the guard,
// since they allocate too.
bool start(std::thread* thread, const char* tag, std::function<void()>& body,
           const ThreadFailure& on_failure) {
  const char* error = kThreadStartError;
  if (!take(&Injected::starts, tag)) {
    try {
      *thread = std::thread(thread_main, tag, std::move(body), on_failure);
      return true;
    } catch (const std::bad_alloc&) {
      error = kOutOfMemoryError;
    } catch (const std::system_error&) {
      error = kThreadStartError;
    }
  }
  log_msg(LOG_ERROR, "%s: cannot start thread", tag);
  report(tag, on_failure, error, "");
  return false;
}

}  // namespace

bool run_guarded(const char* tag, const std::function<void()>& body,
                 const ThreadFailure& on_failure) {
  try {
    // The one exception our code throws, and only for a test.
    if (take(&Injected::bodies, tag)) throw std::bad_alloc();
    body();
    return true;
  } catch (const std::bad_alloc&) {
    fail(tag, on_failure, kOutOfMemoryError);
  } catch (const std::system_error& e) {
    fail(tag, on_failure, "System error: ", e.what());
  } catch (...) {
    fail(tag, on_failure, "Internal error");
  }
  return false;
}

bool thread_start(const char* tag, std::function<void()> body, ThreadFailure on_failure) {
  std::thread thread;
  if (!start(&thread, tag, body, on_failure)) return false;
  thread.detach();
  return true;
}

bool thread_start_joinable(std::thread* thread, const char* tag, std::function<void()> body,
                           ThreadFailure on_failure) {
  return start(thread, tag, body, on_failure);
}

void thread_testing_fail_next_body(const char* tag) {
  Injected& i = injected();
  std::lock_guard<std::mutex> lock(i.mu);
  i.bodies.insert(tag);
}

void thread_testing_fail_next_start(const char* tag) {
  Injected& i = injected();
  std::lock_guard<std::mutex> lock(i.mu);
  i.starts.insert(tag);
}

}  // namespace halvex
