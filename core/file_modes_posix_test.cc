// On this build the agent's files are private to the user: the data folder
// is 0700, and the configuration (identity), the log (pairing codes) and a
// configuration copied in from beside the executable are 0600.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>

#include "core/config.h"
#include "core/log.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

using testing::TempDir;

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

}  // namespace
}  // namespace halvex
