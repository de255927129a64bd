// Crash recording on this build: a child process that faults or aborts
// dies of its signal, and a fault leaves exactly one line in the crash log.

#include "platform/crash.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "core/util.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

using testing::TempDir;

using testing::read_lines;

// A child that faults on purpose leaves exactly one CRASH line with the
// signal number as the code and the faulting address, then dies of it.
TEST(CrashTest, FaultWritesOneLineAndProcessDies) {
  TempDir dir;
  std::string path = dir.file("crash.log");
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    crash_install();
    crash_set_log_path(path.c_str());
    // The address comes through a volatile so the compiler can't see it.
    volatile uintptr_t bad = 0x10;
    *reinterpret_cast<volatile int*>(bad) = 1;
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGSEGV);

  std::vector<std::string> lines = read_lines(path);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      lines[0],
      std::regex(
          R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\] CRASH: exception code 0x0000000B at address 0x10)")))
      << lines[0];
  // The timestamp is local time, as format_timestamp() gives it.
  EXPECT_EQ(lines[0].substr(1, 13), format_timestamp().substr(0, 13));
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(CrashTest, UnwritableFolderStillDies) {
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    crash_install();
    crash_set_log_path("/nonexistent-folder/crash.log");
    ::abort();
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGABRT);
}

}  // namespace
}  // namespace halvex
