// The agent process end to end: the service host (service_main with a test
// server and CA) against the real reference server over real TLS, driven
// through its console like a user would.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include <filesystem>
#include <memory>
#include <regex>
#include <thread>

#include "tests/e2e/agent_fixture.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::read_text_file;
using testing::TempDir;
using testing::wait_for_file_text;
using testing::kEmDash;

class AgentE2ETest : public testing::AgentFixture {};

TEST_F(AgentE2ETest, FirstStartPairsAndRestartAuthenticatesWithTheStoredKey) {
  start_agent();
  EXPECT_TRUE(std::regex_match(config_text(), std::regex(R"(\{"machine_id":"[0-9a-f]{12}","private_key":"[A-Za-z0-9+/]{43}="\})")))
      << config_text();
  pair();
  EXPECT_TRUE(std::regex_match(config_text(),
                               std::regex(R"(\{"machine_id":"[0-9a-f]{12}","private_key":"[A-Za-z0-9+/]{43}=","username":"demo"\})")))
      << config_text();
  EXPECT_NE(agent_->out().find(std::string("tooltip: Halvex Service v0.2.1 ") + kEmDash + " demo"), std::string::npos);
  exit_agent();

  size_t from = log_text().size();
  start_agent();
  ASSERT_TRUE(wait_for_log("auth: authenticated as demo", 15s)) << log_text().substr(from);
  EXPECT_EQ(log_count("pair:", from), 0u);
  EXPECT_EQ(log_count("auth: loaded keypair from config", from), 1u);
  exit_agent();
}

TEST_F(AgentE2ETest, ReconnectSequenceWatchdogAndRecovery) {
  start_agent();
  pair();
  std::string listen = "127.0.0.1:" + port_;
  size_t from = log_text().size();
  stop_server();
  ASSERT_TRUE(wait_for_log("reconnect: all attempts failed, watchdog will retry", 30s)) << log_text().substr(from);
  for (int n = 1; n <= 6; n++) {
    std::string wait = std::to_string(std::vector<int>{1, 2, 3, 5, 10, 15}[static_cast<size_t>(n - 1)]);
    EXPECT_EQ(log_count("reconnect: attempt " + std::to_string(n) + "/6 (wait " + wait + "s)", from), 1u) << n;
  }
  EXPECT_TRUE(agent_->wait_for_output(std::string("status: Connection failed ") + kEmDash + " retrying soon", 5s));
  ASSERT_TRUE(wait_for_log("watchdog: not connected, triggering reconnect", 10s));

  from = log_text().size();
  start_server(listen);
  ASSERT_TRUE(wait_for_file_text(agent_data_ + "/service.log", "auth: authenticated as demo", 30s))
      << log_text().substr(from);
  exit_agent();
}

TEST_F(AgentE2ETest, DisconnectForgetsTheLinkAndStaysQuiet) {
  start_agent();
  pair();
  agent_->write_stdin("disconnect\n");
  // The tooltip text is Disconnect's own ("status: Not linked" is also the
  // tray's first line).
  ASSERT_TRUE(agent_->wait_for_output(std::string("tooltip: Halvex Service ") + kEmDash + " Not linked", 10s));
  ASSERT_TRUE(wait_for_log("Disconnect requested", 5s));
  EXPECT_EQ(config_text(), "");
  size_t from = log_text().size();
  std::this_thread::sleep_for(4s);  // more than two watchdog periods at this time scale
  EXPECT_EQ(log_count("reconnect:", from), 0u) << log_text().substr(from);
  EXPECT_EQ(log_count("watchdog:", from), 0u);
  agent_->write_stdin("menu\n");
  EXPECT_TRUE(agent_->wait_for_output("Login with Browser", 5s));
  exit_agent();
}

TEST_F(AgentE2ETest, SecondInstanceExitsQuietly) {
  start_agent();
  TempDir other;
  ChildProcess second({SERVICE_HOST_BIN, "--host", "localhost:" + port_, "--data", agent_data_, "--instance",
                       instance_},
                      other.path(), "second");
  std::string error;
  ASSERT_TRUE(second.start(&error)) << error;
  EXPECT_EQ(second.wait(20s), 0);
  EXPECT_EQ(second.out(), "");
  EXPECT_EQ(second.err(), "");
  EXPECT_EQ(log_count("starting"), 1u) << log_text();
  EXPECT_TRUE(agent_->running());
  // SIGTERM means Exit too.
  agent_->signal(SIGTERM);
  EXPECT_EQ(agent_->wait(15s), 0);
  EXPECT_NE(log_text().find("Exit requested"), std::string::npos);
}

// A local user who takes the agent's instance name first, in any namespace
// other users can reach (here an abstract Unix socket of that name), must
// not keep the agent from starting: the name is a lock in its own folder.
TEST_F(AgentE2ETest, InstanceNameTakenByAnotherUserDoesNotStopTheAgent) {
  int squatter = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(squatter, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, instance_.data(), instance_.size());
  socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + instance_.size());
  ASSERT_EQ(::bind(squatter, reinterpret_cast<sockaddr*>(&addr), size), 0);
  start_agent();
  pair();
  EXPECT_TRUE(agent_->running());
  exit_agent();
  ::close(squatter);
}

TEST_F(AgentE2ETest, RevocationDeletesTheStoreAndStopsReconnects) {
  start_agent();
  pair();
  ASSERT_EQ(run_server_command({"revoke", machine_id(), "--data", server_data_}), 0) << last_command_out_;
  ASSERT_TRUE(agent_->wait_for_output("status: Auth failed", 30s)) << log_text();
  EXPECT_TRUE(wait_for_log("auth: cleared config (key revoked)", 5s));
  EXPECT_EQ(config_text(), "");
  size_t from = log_text().size();
  stop_server();
  ASSERT_TRUE(wait_for_log("reconnect: no private_key in config, skipping", 30s)) << log_text().substr(from);
  EXPECT_EQ(log_count("reconnect: attempt", from), 0u);
  exit_agent();
}

}  // namespace
}  // namespace halvex
