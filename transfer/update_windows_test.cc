// The self-update worker on Windows, under wine: installer fetches over
// WinHTTP from the TLS test servers of tests/support/wine_tls_server.py
// (started outside wine by a ctest fixture), the size floor, the refused
// redirect and a failed hand-over, each leaving no private folder behind
// in the temporary folder. A hand-over that starts ends the process, so
// it is tested end to end (tests/e2e/wine_e2e.py); the script's lines are
// tested in platform_win32_process_test.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "core/json.h"
#include "platform/tls.h"
#include "tests/support/event_recorder.h"
#include "transfer/update.h"
#include "transfer/update_testing.h"

namespace halvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The servers' folder as wine sees it.
std::string server_dir() {
  const char* dir = std::getenv("HALVEX_WINE_TLS_DIR");
  return dir == nullptr ? "" : std::string("Z:") + dir;
}

uint16_t good_port() {
  std::ifstream in(server_dir() + "/ports");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("good=", 0) == 0) return static_cast<uint16_t>(std::stoi(line.substr(5)));
  return 0;
}

// The installer fetches' private folders in the temporary folder.
size_t update_folders() {
  size_t n = 0;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(fs::temp_directory_path(), ec))
    n += e.path().filename().string().rfind("halvex-update-", 0) == 0;
  return n;
}

class UpdateWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(server_dir().empty()) << "HALVEX_WINE_TLS_DIR is not set (run through ctest)";
    ASSERT_NE(good_port(), 0) << "no test servers in " << server_dir();
    base_ = "https://localhost:" + std::to_string(good_port());
    tls_set_ca_file(server_dir() + "/ca.pem");
    folders_before_ = update_folders();
  }
  void TearDown() override {
    update_set_shell_for_testing("");
    tls_set_ca_file("");
  }

  std::vector<std::string> update(const std::string& request, size_t count) {
    Json d = json_parse(request);
    EXPECT_TRUE(d) << request;
    testing::EventRecorder recorder;
    update_handle_request(d.get(), base_, recorder.sink());
    return recorder.wait_for(count);
  }

  std::string base_;
  size_t folders_before_ = 0;
};

TEST_F(UpdateWindowsTest, FailedFetchesAndHandOversLeaveNothingAndTheNextRequestRuns) {
  const std::string downloading = "update_status {\"status\":\"downloading\",\"version\":\"9.9\"}";
  struct Case {
    std::string path;
    std::string outcome;
  } cases[] = {
      {"/download/999999",
       "update_status {\"status\":\"error\",\"message\":\"Downloaded file too small\"}"},
      // The installer comes from the URL that was checked: the redirect to
      // the same server is a failed download.
      {"/redirect/setup.exe",
       "update_status {\"status\":\"error\",\"message\":\"Download failed\"}"},
      // Big enough; the hand-over's cmd.exe is made to be missing, so the
      // agent runs on.
      {"/download/1000000",
       "update_status {\"status\":\"error\",\"message\":\"Update hand-over failed\"}"},
  };
  update_set_shell_for_testing("C:\\nonexistent\\cmd.exe");
  for (const Case& c : cases) {
    std::vector<std::string> events =
        update("{\"download_url\":\"" + base_ + c.path + "\",\"version\":\"9.9\"}", 2);
    ASSERT_EQ(events.size(), 2u) << c.path;
    EXPECT_EQ(events[0], downloading) << c.path;
    EXPECT_EQ(events[1], c.outcome) << c.path;
    EXPECT_EQ(update_folders(), folders_before_) << c.path;
  }
}

}  // namespace
}  // namespace halvex
