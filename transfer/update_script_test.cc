// The update's hand-over script, run for real by /bin/sh: it waits for the
// agent's process, runs the installer with exactly the four switches, and
// removes the installer, itself and its folder, whatever the folder's name.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "platform/spawn.h"
#include "platform/update_script.h"
#include "tests/support/child_process.h"
#include "tests/support/eventually.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::read_text_file;
using testing::TempDir;

constexpr const char* kSwitches = "/VERYSILENT\n/NORESTART\n/SUPPRESSMSGBOXES\n/SP-\n";

class HandOverScriptTest : public ::testing::Test {
 protected:
  // A folder whose name a careless script would break on.
  void SetUp() override {
    folder_ = dir_.file("halvex update 'x' $(touch pwned) \"q\"");
    fs::create_directory(folder_);
    installer_ = folder_ + "/Halvex_Service_Setup.exe";
    script_ = folder_ + "/halvex_update.sh";
    args_ = dir_.file("args.txt");
    write_executable(installer_, "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > '" +
                                     args_ + "'\n");
  }

  static void write_executable(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
    ::chmod(path.c_str(), 0700);
  }

  // Starts the script for `agent_pid` the way the worker does.
  SpawnedProcess start_script(int agent_pid) {
    write_executable(script_, update_script_text(agent_pid, installer_, script_, folder_));
    SpawnOptions options;
    options.new_session = true;
    SpawnedProcess script;
    std::string error;
    EXPECT_TRUE(spawn_process({"/bin/sh", script_}, options, &script, &error)) << error;
    return script;
  }

  void expect_installed_and_cleaned(SpawnedProcess* script) {
    EXPECT_EQ(spawn_wait_for(script, 30000), 0);
    EXPECT_EQ(read_text_file(args_), kSwitches);
    EXPECT_FALSE(fs::exists(installer_));
    EXPECT_FALSE(fs::exists(script_));
    EXPECT_FALSE(fs::exists(folder_));
    EXPECT_FALSE(fs::exists(dir_.file("pwned")));
    EXPECT_FALSE(fs::exists("pwned"));
  }

  TempDir dir_;
  std::string folder_, installer_, script_, args_;
};

TEST_F(HandOverScriptTest, WaitsForTheAgentThenInstallsAndCleansUp) {
  SpawnedProcess agent;
  std::string error;
  ASSERT_TRUE(spawn_process({"sleep", "60"}, {}, &agent, &error)) << error;
  SpawnedProcess script = start_script(agent.pid);
  // While the agent runs the installer must not have started.
  EXPECT_EQ(spawn_wait_for(&script, 1500), std::nullopt);
  EXPECT_FALSE(fs::exists(args_));
  EXPECT_TRUE(fs::exists(installer_));

  ASSERT_TRUE(spawn_kill(&agent));
  EXPECT_EQ(spawn_wait_for(&agent, 10000), 128 + SIGKILL);
  expect_installed_and_cleaned(&script);
}

// An agent that has ended but is not yet reaped by its parent is a zombie,
// which still answers kill -0: the script must not wait for the reaping.
TEST_F(HandOverScriptTest, AnEndedButUnreapedAgentCountsAsGone) {
  pid_t agent = ::fork();
  ASSERT_GE(agent, 0);
  if (agent == 0) ::_exit(0);
  std::string stat_path = "/proc/" + std::to_string(agent) + "/stat";
  ASSERT_TRUE(testing::eventually(
      [&] { return read_text_file(stat_path).find(") Z ") != std::string::npos; }, 10s));

  SpawnedProcess script = start_script(agent);
  expect_installed_and_cleaned(&script);
  ::waitpid(agent, nullptr, 0);
}

}  // namespace
}  // namespace halvex
