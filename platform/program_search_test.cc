// Opening an outside program for running: what a privileged agent accepts,
// and that what runs is the file opened, whatever its path names later.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/program_search.h"
#include "platform/spawn.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

namespace fs = std::filesystem;

void write_script(const std::string& path, const std::string& body, unsigned mode = 0755) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  ::chmod(path.c_str(), mode);
}

void owner(const std::string& path, uid_t uid) {
  ASSERT_EQ(::chown(path.c_str(), uid, uid), 0) << path;
}

// Root's rules: the program and each folder of its real path root's alone.
// (Sticky folders such as /tmp may be open to all: there nobody else can
// rename or remove root's entries.)
TEST(ProgramOpenTest, WhatAPrivilegedAgentAccepts) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: files owned by others are made with chown";
  testing::TempDir dir;  // root's, 0700, in /tmp
  const std::string safe = dir.file("safe/prog");
  const std::string open_dir = dir.file("open");
  write_script(safe, "exit 0");
  write_script(open_dir + "/prog", "exit 0");
  fs::permissions(open_dir, fs::perms(0777));
  fs::create_symlink(safe, open_dir + "/to-safe");
  fs::create_symlink(open_dir + "/prog", dir.file("safe/to-open"));
  struct Case {
    const char* what;
    std::function<void()> change;
    std::string path;
    bool accepted;
  } cases[] = {
      {"root's file in root's folders", [] {}, safe, true},
      {"a link in an open folder to root's file", [] {}, open_dir + "/to-safe", true},
      {"root's file in a folder anyone may write", [] {}, open_dir + "/prog", false},
      {"a link in root's folder into an open one", [] {}, dir.file("safe/to-open"), false},
      {"the open folder made sticky", [&] { fs::permissions(open_dir, fs::perms(01777)); },
       open_dir + "/prog", true},
      {"group may write the file", [&] { ::chmod(safe.c_str(), 0775); }, safe, false},
      {"someone else's file",
       [&] {
         ::chmod(safe.c_str(), 0755);
         owner(safe, 65534);
       },
       safe, false},
      {"someone else's folder",
       [&] {
         owner(safe, 0);
         owner(dir.file("safe"), 65534);
       },
       safe, false},
      {"not executable",
       [&] {
         owner(dir.file("safe"), 0);
         ::chmod(safe.c_str(), 0644);
       },
       safe, false},
      {"a folder", [] {}, dir.file("safe"), false},
      {"missing", [] {}, dir.file("safe/none"), false},
  };
  for (const Case& c : cases) {
    c.change();
    EXPECT_EQ(program_open(c.path, true).has_value(), c.accepted) << c.what;
  }
  // Without the ownership rules, anything this process may run.
  EXPECT_TRUE(program_open(open_dir + "/prog", false));
  EXPECT_FALSE(program_open(safe, false));  // still 0644
}

// The program started is the one opened, even after another file took its
// name; a script runs under its interpreter; a failed exec is an error.
TEST(SpawnProgramTest, StartsTheOpenedFile) {
  testing::TempDir dir;
  const std::string path = dir.file("prog");
  const std::string out = dir.file("out");
  write_script(path, "echo \"first $*\"; exit 3");
  std::optional<ProgramFile> program = program_open(path, false);
  ASSERT_TRUE(program);
  write_script(dir.file("other"), "echo second; exit 4");
  fs::rename(dir.file("other"), path);

  SpawnOptions options;
  options.stdout_path = out;
  SpawnedProcess process;
  std::string error;
  ASSERT_TRUE(spawn_program(*program, {"any-name", "a b", "c"}, options, &process, &error))
      << error;
  EXPECT_EQ(spawn_wait_for(&process, 20000), 3);
  std::ifstream in(out);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "first a b c");

  write_script(dir.file("broken"), "exit 0");
  std::ofstream(dir.file("broken")) << "#!/nonexistent/sh\n";
  std::optional<ProgramFile> broken = program_open(dir.file("broken"), false);
  ASSERT_TRUE(broken);
  EXPECT_FALSE(spawn_program(*broken, {"broken"}, {}, &process, &error));
  EXPECT_EQ(error, "spawn broken: No such file or directory");
  EXPECT_EQ(process.pid, -1);
  EXPECT_FALSE(spawn_program(ProgramFile(), {"none"}, {}, &process, &error));
  EXPECT_EQ(error, "spawn: no program given");
}

}  // namespace
}  // namespace halvex
