// Opening the browser: the stand-in "xdg-open" found on PATH reports the
// signal state it was started with and the URL it was given.

#include "platform/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;

// The browser outlives the agent's own signal set-up: it must start with
// nothing blocked and nothing ignored, as if started from a desktop.
TEST(ProcessTest, BrowserStartsWithDefaultSignals) {
  testing::TempDir dir;
  const std::string report = dir.file("report");
  // awk, unlike a shell, leaves the signal mask it was given alone.
  std::ofstream(dir.file("xdg-open"))
      << "#!/usr/bin/awk -f\nBEGIN {\n"
      << "  while ((getline l < \"/proc/self/status\") > 0) if (l ~ /^Sig(Blk|Ign):/) print l > \""
      << report << "\"\n"
      << "  print \"url \" ARGV[1] > \"" << report << "\"\n  exit\n}\n";
  ::chmod(dir.file("xdg-open").c_str(), 0755);
  std::string old_path = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", (dir.path() + ":/usr/bin:/bin").c_str(), 1);

  // What the agent's console set-up does to itself.
  sigset_t set, old;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGUSR1}) sigaddset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, &old);
  auto old_pipe = ::signal(SIGPIPE, SIG_IGN);
  process_open_url("https://example.test/link_service?code=A B");
  ::signal(SIGPIPE, old_pipe);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ::setenv("PATH", old_path.c_str(), 1);

  std::string text;
  for (int i = 0; i < 1000 && (text = testing::read_file(report)).find("url") == std::string::npos;
       i++)
    std::this_thread::sleep_for(10ms);
  std::istringstream lines(text);
  std::string name, blocked, ignored, url;
  lines >> name >> blocked >> name >> ignored;
  std::getline(lines >> std::ws, url);
  ASSERT_FALSE(blocked.empty()) << text;
  // The standard signals 1..31; glibc keeps its own real-time ones.
  EXPECT_EQ(std::stoull(blocked, nullptr, 16) & 0x7fffffff, 0u) << text;
  EXPECT_EQ(std::stoull(ignored, nullptr, 16) & 0x7fffffff, 0u) << text;
  EXPECT_EQ(url, "url https://example.test/link_service?code=A B");
}

}  // namespace
}  // namespace halvex
