// Child processes: what a child inherits from the agent (nothing it should
// not), time-limited waits, kill, and the error for a missing program.

#include "platform/spawn.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

namespace fs = std::filesystem;

// The value of one "Name:\tvalue" line of /proc/PID/status.
std::string status_field(int pid, const std::string& name) {
  std::istringstream in(testing::read_file("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);)
    if (line.rfind(name + ":\t", 0) == 0) return line.substr(name.size() + 2);
  return "";
}

// The numbers of the descriptors `pid` holds open, sorted.
std::vector<std::string> open_fds(int pid) {
  std::vector<std::string> fds;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec))
    fds.push_back(e.path().filename());
  std::sort(fds.begin(), fds.end());
  return fds;
}

struct Started {
  SpawnedProcess process;
  ~Started() {
    spawn_kill(&process);
    spawn_wait_for(&process, 10000);
  }
};

// Both ways of starting a program: by name along PATH, and from a program
// opened beforehand.
TEST(SpawnTest, ChildStartsCleanWhateverTheAgentSetUp) {
  std::optional<ProgramFile> sleep_program = program_open("/bin/sleep", false);
  ASSERT_TRUE(sleep_program);
  struct Way {
    const char* what;
    std::function<bool(const SpawnOptions&, SpawnedProcess*, std::string*)> start;
  } ways[] = {
      {"by name",
       [](const SpawnOptions& o, SpawnedProcess* p, std::string* e) {
         return spawn_process({"sleep", "60"}, o, p, e);
       }},
      {"opened",
       [&](const SpawnOptions& o, SpawnedProcess* p, std::string* e) {
         return spawn_program(*sleep_program, {"sleep", "60"}, o, p, e);
       }},
  };
  for (const Way& way : ways) {
    // What the agent's console set-up does to itself, plus a descriptor
    // that forgot close-on-exec.
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, &old);
    auto old_pipe = ::signal(SIGPIPE, SIG_IGN);
    int stray = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(stray, 0);

    Started child;
    std::string error;
    SpawnOptions options;
    options.new_session = true;
    bool started = way.start(options, &child.process, &error);
    ::close(stray);
    ::signal(SIGPIPE, old_pipe);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    ASSERT_TRUE(started) << way.what << ": " << error;
    int pid = child.process.pid;
    // The child's state is only final once it runs sleep.
    for (int i = 0;
         i < 1000 && testing::read_file("/proc/" + std::to_string(pid) + "/comm") != "sleep\n"; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));

    // The standard signals 1..31 (bits 0..30); glibc keeps its own internal
    // real-time signals as it likes.
    EXPECT_EQ(std::stoull(status_field(pid, "SigBlk"), nullptr, 16) & 0x7fffffff, 0u) << way.what;
    EXPECT_EQ(std::stoull(status_field(pid, "SigIgn"), nullptr, 16) & 0x7fffffff, 0u) << way.what;
    // sleep itself opens locale files for a moment as it starts; what it
    // inherited stays.
    std::vector<std::string> fds;
    for (int i = 0; i < 500 && (fds = open_fds(pid)).size() != 3; i++)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(fds, (std::vector<std::string>{"0", "1", "2"})) << way.what;
    for (const std::string& fd : fds)
      EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(pid) + "/fd/" + fd), "/dev/null")
          << way.what << " " << fd;
    EXPECT_EQ(::getsid(pid), pid) << way.what;

    // SIGTERM reaches it although the agent blocks it.
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    EXPECT_EQ(spawn_wait_for(&child.process, 20000), 128 + SIGTERM) << way.what;
  }
}

TEST(SpawnTest, WaitForTimesOutThenKillEndsIt) {
  Started child;
  std::string error;
  ASSERT_TRUE(spawn_process({"/bin/sleep", "60"}, {}, &child.process, &error)) << error;
  EXPECT_NE(::getsid(child.process.pid), child.process.pid);
  EXPECT_EQ(spawn_wait_for(&child.process, 0), std::nullopt);
  EXPECT_EQ(spawn_wait_for(&child.process, 50), std::nullopt);
  EXPECT_TRUE(spawn_kill(&child.process));
  EXPECT_EQ(spawn_wait_for(&child.process, 20000), 128 + SIGKILL);
  // Reaped: the status stays, and there is nothing left to kill.
  EXPECT_EQ(spawn_wait_for(&child.process, 0), 128 + SIGKILL);
  EXPECT_FALSE(spawn_kill(&child.process));
}

TEST(SpawnTest, ExitCodesAndOutputFiles) {
  testing::TempDir dir;
  SpawnOptions options;
  options.stdout_path = dir.file("out");
  options.stderr_path = dir.file("err");
  Started child;
  std::string error;
  ASSERT_TRUE(
      spawn_process({"/bin/sh", "-c", "echo \"$1\"; echo oops >&2; exit 7", "sh", "it's $HOME"},
                    options, &child.process, &error))
      << error;
  EXPECT_EQ(spawn_wait_for(&child.process, 20000), 7);
  EXPECT_EQ(testing::read_file(dir.file("out")), "it's $HOME\n");  // arguments pass untouched
  EXPECT_EQ(testing::read_file(dir.file("err")), "oops\n");
}

TEST(SpawnTest, MissingProgramIsAnError) {
  // Not executable by anyone (root too needs one execute bit).
  testing::TempDir dir;
  std::string plain = dir.file("plain");
  testing::write_file(plain, "#!/bin/sh\n");
  ::chmod(plain.c_str(), 0644);
  struct Case {
    std::vector<std::string> argv;
    std::string error;
  };
  const Case cases[] = {
      {{"/nonexistent/halvex-tool"}, "spawn /nonexistent/halvex-tool: No such file or directory"},
      {{"halvex-no-such-tool-on-path"},
       "spawn halvex-no-such-tool-on-path: No such file or directory"},
      {{plain}, "spawn " + plain + ": Permission denied"},
      {{}, "spawn: no program given"},
  };
  for (const Case& c : cases) {
    SpawnedProcess p;
    std::string error;
    EXPECT_FALSE(spawn_process(c.argv, {}, &p, &error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(p.pid, -1);
  }
}

}  // namespace
}  // namespace halvex
