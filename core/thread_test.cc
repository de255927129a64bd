// The thread helper: what each exception a body can meet turns into, a
// thread the system refuses, and the crash line of a stack overflow on a
// thread other than the main one (in a child process, which dies of it).

#include "core/thread.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <fstream>
#include <future>
#include <new>
#include <regex>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "core/thread_testing.h"
#include "platform/crash.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

TEST(ThreadTest, ExceptionsLeavingABodyBecomeTheFailureText) {
  struct Case {
    const char* name;
    std::function<void()> body;
    bool ran_to_end;
    std::string error;  // "" when on_failure must not be called
  };
  const std::vector<Case> cases = {
      {"returns", [] {}, true, ""},
      {"bad_alloc", [] { throw std::bad_alloc(); }, false, "Out of memory"},
      {"system_error",
       [] {
         throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
       },
       false, "System error: Resource deadlock avoided"},
      {"anything else", [] { throw std::runtime_error("x"); }, false, "Internal error"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_EQ(run_guarded("test", c.body, [&](const std::string& e) { error = e; }), c.ran_to_end)
        << c.name;
    EXPECT_EQ(error, c.error) << c.name;
  }
  // Without a callback the failure is only logged.
  EXPECT_FALSE(run_guarded("test", [] { throw std::bad_alloc(); }));
  // A callback that runs out of memory itself is contained as well.
  EXPECT_FALSE(run_guarded(
      "test", [] { throw std::bad_alloc(); }, [](const std::string&) { throw std::bad_alloc(); }));
}

TEST(ThreadTest, FailuresOnAStartedThreadReachItsCallback) {
  std::promise<std::string> failed;
  thread_testing_fail_next_body("test.body");
  bool ran = false;
  ASSERT_TRUE(thread_start(
      "test.body", [&ran] { ran = true; },
      [&failed](const std::string& e) { failed.set_value(e); }));
  std::future<std::string> error = failed.get_future();
  ASSERT_EQ(error.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(error.get(), "Out of memory");
  EXPECT_FALSE(ran);

  // The next start of the same tag runs normally.
  std::promise<void> done;
  ASSERT_TRUE(thread_start("test.body", [&done] { done.set_value(); }));
  EXPECT_EQ(done.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

TEST(ThreadTest, AThreadTheSystemRefusesIsReportedToTheCaller) {
  thread_testing_fail_next_start("test.start");
  std::string error;
  bool ran = false;
  EXPECT_FALSE(thread_start(
      "test.start", [&ran] { ran = true; }, [&error](const std::string& e) { error = e; }));
  EXPECT_EQ(error, "Cannot start thread");

  thread_testing_fail_next_start("test.start");
  std::thread joinable;
  error.clear();
  EXPECT_FALSE(thread_start_joinable(
      &joinable, "test.start", [&ran] { ran = true; },
      [&error](const std::string& e) { error = e; }));
  EXPECT_EQ(error, "Cannot start thread");
  EXPECT_FALSE(joinable.joinable());
  EXPECT_FALSE(ran);

  ASSERT_TRUE(thread_start_joinable(&joinable, "test.start", [&ran] { ran = true; }));
  joinable.join();
  EXPECT_TRUE(ran);
}

// Deep enough to overflow any thread stack; the volatile array keeps each
// frame real and the call after it keeps the recursion from becoming a loop.
int recurse(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  if (depth == INT_MAX) return 0;
  return recurse(depth + 1) + frame[0];
}

TEST(ThreadTest, StackOverflowOnAStartedThreadIsRecorded) {
  testing::TempDir dir;
  std::string path = dir.file("crash.log");
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    crash_install();
    crash_set_log_path(path.c_str());
    thread_start("overflow", [] { recurse(0); });
    ::pause();
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);
  std::ifstream in(path);
  std::string line;
  ASSERT_TRUE(std::getline(in, line)) << "no crash line";
  EXPECT_TRUE(std::regex_match(
      line, std::regex(R"(\[[-0-9T:]+\] CRASH: exception code 0x0000000B at address 0x[0-9a-f]+)")))
      << line;
}

}  // namespace
}  // namespace halvex
