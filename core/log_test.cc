#include "core/log.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "core/util.h"
#include "platform/crash.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

using testing::TempDir;

std::vector<std::string> read_lines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override { log_open(dir_.file("service.log")); }
  void TearDown() override { log_close(); }
  std::vector<std::string> lines() { return read_lines(dir_.file("service.log")); }
  TempDir dir_;
};

TEST_F(LogTest, FileAndConsoleLineFormats) {
  ::testing::internal::CaptureStderr();
  log_msg(LOG_INFO, "ws: connected");
  log_msg(LOG_WARN, "ws: send failed (%lu)", 12030ul);
  log_msg(LOG_ERROR, "x=%d", 5);
  log_msg(7, "odd level");
  log_msg(LOG_DEBUG, "never written");
  std::string console = ::testing::internal::GetCapturedStderr();

  std::vector<std::string> file = lines();
  ASSERT_EQ(file.size(), 4u);
  const std::regex stamp(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d (.{5})\] (.*))");
  const char* want[][2] = {{"INFO ", "ws: connected"},
                           {"WARN ", "ws: send failed (12030)"},
                           {"ERROR", "x=5"},
                           {"?????", "odd level"}};
  for (size_t i = 0; i < 4; i++) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(file[i], m, stamp)) << file[i];
    EXPECT_EQ(m[1], want[i][0]);
    EXPECT_EQ(m[2], want[i][1]);
  }
  EXPECT_TRUE(std::regex_match(console,
                               std::regex(R"((\[\d\d:\d\d:\d\d (INFO |WARN |ERROR|\?\?\?\?\?)\] [^\n]*\n){4})")))
      << console;
  EXPECT_EQ(console.find("never written"), std::string::npos);

  struct stat st;
  ASSERT_EQ(::stat(dir_.file("service.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);  // the log carries pairing codes
}

TEST_F(LogTest, ConsoleOnlyAfterClose) {
  log_close();
  ::testing::internal::CaptureStderr();
  log_msg(LOG_INFO, "after close");
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("after close"), std::string::npos);
  EXPECT_TRUE(lines().empty());
}

TEST_F(LogTest, LinesFromManyThreadsStayWhole) {
  ::testing::internal::CaptureStderr();
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++) {
    threads.emplace_back([t] {
      std::string payload(200, static_cast<char>('a' + t));
      for (int i = 0; i < 200; i++) log_msg(LOG_INFO, "t%d %s", t, payload.c_str());
    });
  }
  for (auto& th : threads) th.join();
  ::testing::internal::GetCapturedStderr();
  std::vector<std::string> file = lines();
  ASSERT_EQ(file.size(), 1600u);
  const std::regex whole(R"(\[[^\]]+\] t(\d) ([a-h])\2{199})");
  for (const std::string& line : file) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, whole)) << line.substr(0, 80);
    EXPECT_EQ(m[2].str()[0], 'a' + std::stoi(m[1]));
  }
}

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
      lines[0], std::regex(R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\] CRASH: exception code 0x0000000B at address 0x10)")))
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
