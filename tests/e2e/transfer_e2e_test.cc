// Transfers end to end: the service host against the reference server over
// real TLS, driven by the server's `download` and `update` commands. The
// update runs the real hand-over: the agent process exits with 0, and its
// script waits for it, runs the installer and cleans up; the installer is
// the real Linux installer carrying the next version of the test host.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <random>
#include <regex>
#include <thread>

#include "tests/e2e/agent_fixture.h"
#include "tests/support/eventually.h"

namespace halvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::eventually;
using testing::read_text_file;
using testing::wait_for_file_text;
using testing::write_file;

class TransferE2ETest : public testing::AgentFixture {
 protected:
  void TearDown() override {
    // An installed agent is no child of this test: it is ended by its id.
    if (installed_pid_ > 0 && ::kill(installed_pid_, SIGKILL) == 0)
      std::this_thread::sleep_for(200ms);
    testing::AgentFixture::TearDown();
    for (const char* name : {"TMPDIR", "HALVEX_PREFIX", "SERVICE_HOST_ARGS"}) ::unsetenv(name);
  }
  // Whether process `pid` has ended (or only waits to be reaped).
  static bool process_gone(int pid) {
    if (::kill(pid, 0) != 0) return true;
    std::string stat = read_text_file("/proc/" + std::to_string(pid) + "/stat");
    size_t paren = stat.rfind(") ");
    return paren != std::string::npos && stat.compare(paren + 2, 1, "Z") == 0;
  }
  // The options of start_agent(), one per line, for an agent started
  // without any.
  std::string agent_args_lines() {
    return "--host\nlocalhost:" + port_ + "\n--ca\n" + server_data_ + "/ca.pem\n--data\n" +
           agent_data_ + "\n--instance\n" + instance_ + "\n--time-scale\n10";
  }
  int installed_pid_ = 0;
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
  ASSERT_EQ(server_.run({"download", machine_id(), "--folder", folder, dir_.file("src/report.pdf"),
                         dir_.file("src/notes.txt")}),
            0)
      << server_.last_output();
  EXPECT_EQ(read_text_file(folder + "/report (2).pdf"), report);
  EXPECT_EQ(read_text_file(folder + "/report.pdf"), "mine");
  EXPECT_EQ(read_text_file(folder + "/notes.txt"), "notes");
  EXPECT_NE(server_.last_output().find(
                "\"e\":\"download_complete\",\"d\":{\"downloaded\":[{\"filename\":\"report.pdf\"},"
                "{\"filename\":\"notes.txt\"}],\"total\":2"),
            std::string::npos)
      << server_.last_output();
  EXPECT_TRUE(wait_for_log("download: report.pdf -> " + folder, 5s));
  exit_agent();
}

// The self-update with the real Linux installer: the agent at this build's
// version, paired, is told to update to the next version and says so; the
// installer (makeself, run with the hand-over's four switches, which
// transfer/update_script_test checks) puts the next build into a test prefix
// and starts it; the old process has exited with 0; the
// new one authenticates with the stored identity, without pairing, and the
// server's machine list shows its version.
TEST_F(TransferE2ETest, UpdateInstallsTheNextVersionWhichComesBackWithTheSameIdentity) {
  std::string tmp = dir_.file("agent-tmp");
  std::string prefix = dir_.file("prefix");
  fs::create_directory(tmp);
  ::setenv("TMPDIR", tmp.c_str(), 1);
  ::setenv("HALVEX_PREFIX", prefix.c_str(), 1);
  ::setenv("SERVICE_HOST_ARGS", agent_args_lines().c_str(), 1);

  start_agent();
  pair();
  std::string id = machine_id();
  std::string config = config_text();
  size_t from = log_text().size();
  ASSERT_EQ(server_.run({"update", id, "--installer", NEXT_INSTALLER, "--version", NEXT_VERSION}),
            0)
      << server_.last_output();
  EXPECT_NE(
      server_.last_output().find("{\"status\":\"downloading\",\"version\":\"" NEXT_VERSION "\"}"),
      std::string::npos);
  EXPECT_NE(
      server_.last_output().find("{\"status\":\"restarting\",\"version\":\"" NEXT_VERSION "\"}"),
      std::string::npos);
  EXPECT_EQ(agent_->wait(30s), 0);
  std::string installer_name = fs::path(NEXT_INSTALLER).filename().string();
  EXPECT_EQ(log_count("update: downloading v" NEXT_VERSION " from https://127.0.0.1:" + port_ +
                          "/files/" + installer_name,
                      from),
            1u)
      << log_text().substr(from);
  EXPECT_EQ(log_count("update: downloaded " + std::to_string(fs::file_size(NEXT_INSTALLER)) +
                          " bytes, installing...",
                      from),
            1u);

  ASSERT_TRUE(eventually(
      [&] { return log_count("Halvex Service v" NEXT_VERSION " starting", from) > 0; }, 30s))
      << log_text().substr(from);
  size_t started = log_text().find("Halvex Service v" NEXT_VERSION " starting", from);
  // The old agent, once it has said "restarting", stays off the server.
  EXPECT_EQ(log_text().substr(from, started - from).find("auth: authenticated"), std::string::npos)
      << log_text().substr(from);
  ASSERT_TRUE(wait_for_file_text(prefix + "/halvex-service.pid", "\n", 5s));
  installed_pid_ = std::stoi(read_text_file(prefix + "/halvex-service.pid"));
  EXPECT_TRUE(fs::exists(prefix + "/bin/halvex-service"));
  ASSERT_TRUE(
      eventually([&] { return log_count("auth: authenticated as demo", started) > 0; }, 30s))
      << log_text().substr(from);
  EXPECT_EQ(log_count("pair:", from), 0u) << log_text().substr(from);
  EXPECT_EQ(config_text(), config);

  ASSERT_EQ(server_.run({"machines"}), 0) << server_.last_output();
  std::smatch m;
  ASSERT_TRUE(std::regex_search(server_.last_output(), m,
                                std::regex("\\{\"machine_id\":\"" + id + "\"[^\n]*")))
      << server_.last_output();
  EXPECT_NE(m.str().find("\"online\":true"), std::string::npos) << m.str();
  EXPECT_NE(m.str().find("\"version\":\"" NEXT_VERSION "\""), std::string::npos) << m.str();
  EXPECT_TRUE(eventually([&] { return fs::is_empty(tmp); }, 30s)) << "left behind in " << tmp;

  // The new agent ends cleanly on SIGTERM, as a service manager stops it.
  ASSERT_EQ(::kill(installed_pid_, SIGTERM), 0);
  EXPECT_TRUE(eventually([&] { return log_count("Shutting down", from) > 0; }, 15s));
  EXPECT_TRUE(eventually([&] { return process_gone(installed_pid_); }, 10s));
  installed_pid_ = 0;
}

}  // namespace
}  // namespace halvex
