// The agent process end to end: the service host (service_main with a test
// server and CA) against the real reference server over real TLS, driven
// through its console like a user would.

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::read_text_file;
using testing::TempDir;
using testing::wait_for_file_text;

const char kEmDash[] = "\u2014";

class AgentE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    server_data_ = dir_.file("server");
    agent_data_ = dir_.file("agent");
    ASSERT_EQ(run_server_command({"init", "--data", server_data_}), 0);
    ASSERT_EQ(run_server_command({"user", "add", "demo", "--data", server_data_}, "secret-pw\n"), 0);
    start_server("127.0.0.1:0");
  }
  void TearDown() override {
    if (agent_ && agent_->running()) {
      agent_->signal(SIGTERM);
      agent_->wait(10s);
    }
    if (server_) stop_server();
  }

  // Runs a short `recovery-server` command; returns its exit code.
  int run_server_command(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), RECOVERY_SERVER_BIN);
    ChildProcess p(args, dir_.path(), "cmd" + std::to_string(++commands_));
    std::string error;
    if (!p.start(&error)) return -1;
    p.write_stdin(input);
    p.close_stdin();
    std::optional<int> rc = p.wait(30s);
    last_command_out_ = p.out() + p.err();
    return rc.value_or(-1);
  }

  void start_server(const std::string& listen) {
    std::remove((server_data_ + "/listen").c_str());
    server_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{RECOVERY_SERVER_BIN, "serve", "--data", server_data_, "--listen", listen},
        dir_.path(), "server" + std::to_string(++servers_));
    std::string error;
    ASSERT_TRUE(server_->start(&error)) << error;
    ASSERT_TRUE(wait_for_file_text(server_data_ + "/listen", ":", 10s)) << server_->err();
    std::string addr = read_text_file(server_data_ + "/listen");
    port_ = addr.substr(addr.rfind(':') + 1);
    while (!port_.empty() && (port_.back() == '\n' || port_.back() == ' ')) port_.pop_back();
  }
  void stop_server() {
    server_->signal(SIGTERM);
    EXPECT_EQ(server_->wait(15s), 0);
    server_.reset();
  }

  void start_agent(const std::string& instance = "") {
    agent_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{SERVICE_HOST_BIN, "--host", "localhost:" + port_, "--ca",
                                 server_data_ + "/ca.pem", "--data", agent_data_, "--instance",
                                 instance.empty() ? instance_ : instance, "--time-scale", "10"},
        dir_.path(), "agent" + std::to_string(++agents_));
    std::string error;
    ASSERT_TRUE(agent_->start(&error)) << error;
    ASSERT_TRUE(wait_for_log("System tray icon added", 10s)) << agent_->err();
  }
  // Ends the agent with `exit` and checks the clean shutdown.
  void exit_agent() {
    agent_->write_stdin("exit\n");
    EXPECT_EQ(agent_->wait(15s), 0);
    std::string log = log_text();
    size_t last = log.rfind('\n', log.size() >= 2 ? log.size() - 2 : 0);
    std::string last_line = log.substr(last == std::string::npos ? 0 : last + 1);
    EXPECT_TRUE(std::regex_match(last_line, std::regex(R"(\[[^\]]+ INFO \] Shutting down\n)"))) << last_line;
  }

  std::string log_text() { return read_text_file(agent_data_ + "/service.log"); }
  std::string config_text() { return read_text_file(agent_data_ + "/halvex_service.conf"); }
  bool wait_for_log(const std::string& text, std::chrono::milliseconds timeout) {
    return wait_for_file_text(agent_data_ + "/service.log", text, timeout);
  }
  // Counts `text` in the log after byte offset `from`.
  size_t log_count(const std::string& text, size_t from = 0) {
    std::string log = log_text();
    size_t n = 0;
    for (size_t at = log.find(text, from); at != std::string::npos; at = log.find(text, at + 1)) n++;
    return n;
  }

  // Login with Browser, then the user approves the code on the server.
  void pair() {
    size_t from = log_text().size();
    agent_->write_stdin("login\n");
    ASSERT_TRUE(wait_for_log("pair: opening", 15s)) << log_text();
    std::smatch m;
    std::string log = log_text().substr(from);
    ASSERT_TRUE(std::regex_search(log, m, std::regex(R"(pair: opening https://localhost:\d+/link_service\?code=([A-HJ-NP-Z2-9]{6})\n)")))
        << log;
    ASSERT_EQ(run_server_command({"approve", m[1], "--user", "demo", "--data", server_data_}), 0) << last_command_out_;
    ASSERT_TRUE(agent_->wait_for_output(std::string("status: Connected ") + kEmDash + " demo", 10s)) << agent_->out();
  }

  std::string machine_id() {
    std::smatch m;
    std::string conf = config_text();
    return std::regex_search(conf, m, std::regex(R"re("machine_id":"([0-9a-f]{12})")re")) ? m[1].str() : "";
  }

  TempDir dir_;
  std::string server_data_, agent_data_, port_;
  std::string instance_ = "halvex-e2e-" + std::to_string(::getpid());
  std::unique_ptr<ChildProcess> server_, agent_;
  std::string last_command_out_;
  int commands_ = 0, servers_ = 0, agents_ = 0;
};

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
  ChildProcess second({SERVICE_HOST_BIN, "--host", "localhost:" + port_, "--data", other.file("data"), "--instance",
                       instance_},
                      other.path(), "second");
  std::string error;
  ASSERT_TRUE(second.start(&error)) << error;
  EXPECT_EQ(second.wait(20s), 0);
  EXPECT_EQ(second.out(), "");
  EXPECT_EQ(second.err(), "");
  EXPECT_FALSE(std::filesystem::exists(other.file("data")));
  EXPECT_TRUE(agent_->running());
  // SIGTERM means Exit too.
  agent_->signal(SIGTERM);
  EXPECT_EQ(agent_->wait(15s), 0);
  EXPECT_NE(log_text().find("Exit requested"), std::string::npos);
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
