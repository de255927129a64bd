#include "core/log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "core/util.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

using testing::TempDir;

using testing::read_lines;

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
  EXPECT_TRUE(std::regex_match(
      console, std::regex(R"((\[\d\d:\d\d:\d\d (INFO |WARN |ERROR|\?\?\?\?\?)\] [^\n]*\n){4})")))
      << console;
  EXPECT_EQ(console.find("never written"), std::string::npos);
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

}  // namespace
}  // namespace halvex
