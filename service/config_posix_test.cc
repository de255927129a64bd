// The identity store under SIGKILL on this build: a save killed at any
// moment leaves the previous store or the new one, never a torn file.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "core/json.h"
#include "core/util.h"
#include "service/config.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

using testing::TempDir;

uintmax_t stored_size() {
  std::error_code error;
  uintmax_t size = std::filesystem::file_size(config_path(), error);
  return error ? 0 : size;
}

// The store holds the agent's identity: a save cut short by SIGKILL, at any
// moment, must leave either the old file or the new one, never a truncated
// or empty one. A child process saves a large store over and over and is
// killed at random moments.
TEST(ConfigSaveTest, KilledAtAnyMomentLeavesAWholeStore) {
  TempDir data, install;
  init_data_paths_from(data.path() + "/Halvex Service Native", install.path());
  Json first = json_object();
  json_add_string(first.get(), "private_key", "the-key");
  ASSERT_TRUE(config_save(first.get()));
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> delay_us(1000, 30000);
  for (int round = 0; round < 25; round++) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int n = 0;; n++) {
        Json u = json_object();
        json_add_string(u.get(), "filler",
                        std::string(512 * 1024 + n % 7, static_cast<char>('a' + n % 26)));
        config_save(u.get());
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(rng)));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    Json stored = config_load();
    ASSERT_TRUE(stored) << "round " << round << ": " << stored_size() << " bytes";
    EXPECT_EQ(json_get_string(stored.get(), "private_key"), "the-key") << round;
  }
}

}  // namespace
}  // namespace halvex
