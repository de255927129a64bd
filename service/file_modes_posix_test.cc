// On this build the agent's files are private to the user: the data folder
// is 0700, and the configuration (identity), the log (pairing codes) and a
// configuration copied in from beside the executable are 0600.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "core/log.h"
#include "platform/system.h"
#include "service/config.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

using testing::TempDir;

void put(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

unsigned mode_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

TEST(FileModesTest, DataFolderConfigurationAndLogArePrivate) {
  TempDir data, install;
  init_data_paths_from(data.path() + "/Halvex Service Native", install.path());
  get_machine_id();  // creates the folder and the configuration
  EXPECT_EQ(mode_of(get_data_dir()), 0700u);
  EXPECT_EQ(mode_of(config_path()), 0600u);

  log_open(data.file("service.log"));
  log_msg(LOG_INFO, "line");
  log_close();
  EXPECT_EQ(mode_of(data.file("service.log")), 0600u);
}

TEST(FileModesTest, ConfigurationCopiedInIsPrivate) {
  TempDir data, install;
  std::ofstream(install.file("halvex_service.conf")) << R"({"machine_id":"feedfeedfeed"})";
  init_data_paths_from(data.path() + "/d", install.path());
  EXPECT_EQ(get_machine_id(), "feedfeedfeed");
  EXPECT_EQ(mode_of(config_path()), 0600u);
}

// The data folder a user's agent names from its environment is made with
// every folder above it that is missing (a fresh account has no ~/.config),
// so that the identity sticks from the first start. Run in a child process
// as an ordinary user (nobody) when the tests run as root, since root's
// folder does not come from the environment.
TEST(DataFolderTest, MadeWithItsMissingParents) {
  TempDir top;
  ::chmod(top.path().c_str(), 0777);
  put(top.file("plain-file"), "x");
  const std::string install = top.file("install");
  std::filesystem::create_directory(install);
  ::chmod(install.c_str(), 0777);
  struct Case {
    const char* xdg;  // null: unset
    const char* home;
    std::string folder;  // where the configuration ends up
  } cases[] = {
      {"/xdg/not/yet/config", "/unused", top.path() + "/xdg/not/yet/config/Halvex Service Native"},
      {nullptr, "/home/new-user", top.path() + "/home/new-user/.config/Halvex Service Native"},
      {nullptr, "/plain-file/u", install},
  };
  for (const Case& c : cases) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      if (c.xdg)
        ::setenv("XDG_CONFIG_HOME", (top.path() + c.xdg).c_str(), 1);
      else
        ::unsetenv("XDG_CONFIG_HOME");
      ::setenv("HOME", (top.path() + c.home).c_str(), 1);
      if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
      init_data_paths_from(system_app_data_dir(), install);
      std::string id = get_machine_id();
      ::_exit(get_data_dir() == c.folder && get_machine_id() == id ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0) << c.folder;
    EXPECT_TRUE(std::filesystem::exists(c.folder + "/halvex_service.conf")) << c.folder;
    EXPECT_EQ(mode_of(c.folder), c.folder == install ? 0777u : 0700u) << c.folder;
  }
}

}  // namespace
}  // namespace halvex
