// Transfers end to end: the service host against the reference server over
// real TLS, driven by the server's `download` and `update` commands. The
// update runs the real hand-over: the agent process exits with 0, and its
// script waits for it, runs a stand-in installer and cleans up.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "tests/e2e/agent_fixture.h"

namespace halvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::read_text_file;
using testing::wait_for_file_text;

class TransferE2ETest : public testing::AgentFixture {
 protected:
  void TearDown() override {
    testing::AgentFixture::TearDown();
    ::unsetenv("TMPDIR");
  }
  static void write_file(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
  }
  // Polls until the folder is empty (or the timeout passes).
  static bool wait_until_empty(const std::string& dir, std::chrono::seconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!fs::is_empty(dir)) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(50ms);
    }
    return true;
  }
};

TEST_F(TransferE2ETest, DownloadCommandFetchesFilesBesideExistingOnes) {
  std::string report(1536 * 1024, '\0');
  std::mt19937 gen(5);
  for (char& c : report) c = static_cast<char>(gen());
  fs::create_directory(dir_.file("src"));
  write_file(dir_.file("src/report.pdf"), report);
  write_file(dir_.file("src/notes.txt"), "notes");
  std::string folder = dir_.file("downloads");
  fs::create_directory(folder);
  write_file(folder + "/report.pdf", "mine");
  write_file(folder + "/report (1).pdf", "mine too");

  start_agent();
  pair();
  ASSERT_EQ(run_server_command({"download", machine_id(), "--folder", folder, dir_.file("src/report.pdf"),
                                dir_.file("src/notes.txt"), "--data", server_data_}),
            0)
      << last_command_out_;
  EXPECT_EQ(read_text_file(folder + "/report (2).pdf"), report);
  EXPECT_EQ(read_text_file(folder + "/report.pdf"), "mine");
  EXPECT_EQ(read_text_file(folder + "/notes.txt"), "notes");
  EXPECT_NE(last_command_out_.find("\"e\":\"download_complete\",\"d\":{\"downloaded\":[{\"filename\":\"report.pdf\"},"
                                   "{\"filename\":\"notes.txt\"}],\"total\":2"),
            std::string::npos)
      << last_command_out_;
  EXPECT_TRUE(wait_for_log("download: report.pdf -> " + folder, 5s));
  exit_agent();
}

TEST_F(TransferE2ETest, UpdateHandsOverToTheInstallerAndTheAgentExits) {
  std::string tmp = dir_.file("agent-tmp");
  fs::create_directory(tmp);
  ::setenv("TMPDIR", tmp.c_str(), 1);  // the agent's private folder goes here
  // A stand-in installer: records its arguments, one per line. The padding
  // after `exit` takes it over the size floor and is never read.
  std::string args = dir_.file("installer-args.txt");
  std::string installer = dir_.file("Halvex_Service_Setup.exe");
  write_file(installer, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + args + "'\nexit 0\n#" + std::string(1000000, 'x') +
                            "\n");

  start_agent();
  pair();
  ASSERT_EQ(run_server_command(
                {"update", machine_id(), "--installer", installer, "--version", "0.9.0", "--data", server_data_}),
            0)
      << last_command_out_;
  EXPECT_NE(last_command_out_.find("{\"status\":\"downloading\",\"version\":\"0.9.0\"}"), std::string::npos);
  EXPECT_NE(last_command_out_.find("{\"status\":\"restarting\",\"version\":\"0.9.0\"}"), std::string::npos);

  EXPECT_EQ(agent_->wait(30s), 0);
  ASSERT_TRUE(wait_until_empty(tmp, 30s)) << "left behind in " << tmp;
  EXPECT_EQ(read_text_file(args), "/VERYSILENT\n/NORESTART\n/SUPPRESSMSGBOXES\n/SP-\n");

  std::string log = log_text();
  EXPECT_NE(log.find("update: downloading v0.9.0 from https://127.0.0.1:" + port_ +
                     "/files/Halvex_Service_Setup.exe"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("update: downloaded " + std::to_string(fs::file_size(installer)) + " bytes, installing..."),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("Shutting down"), std::string::npos);
}

}  // namespace
}  // namespace halvex
