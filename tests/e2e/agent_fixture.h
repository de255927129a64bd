// A test fixture for the agent process end to end: the reference server
// (init, one user "demo", serve on a loopback port) and the service host
// (service_main with the server's CA) as child processes, driven through
// the agent's console and the server's commands like a user would.
//
// One test thread drives each fixture.

#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "core/json.h"
#include "tests/integration/server_process.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace halvex::testing {

using namespace std::chrono_literals;

inline const char kEmDash[] = "\u2014";

// Runs `command` with the shell; true when it exits with 0.
inline bool shell(const std::string& command) {
  int status = std::system(command.c_str());
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

class AgentFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.init({"demo"}));
    start_server("127.0.0.1:0");
  }
  void TearDown() override {
    if (agent_ && agent_->running()) {
      agent_->signal(SIGTERM);
      agent_->wait(10s);
    }
    if (server_.pid() > 0) stop_server();
  }

  void start_server(const std::string& listen) {
    ASSERT_TRUE(server_.start(listen));
    port_ = std::to_string(server_.port());
  }
  void stop_server() { EXPECT_EQ(server_.stop(), 0) << server_.last_output(); }

  // `extra` options go to the service host as they are.
  void start_agent(const std::string& instance = "", const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{SERVICE_HOST_BIN,
                                  "--host",
                                  "localhost:" + port_,
                                  "--ca",
                                  server_data_ + "/ca.pem",
                                  "--data",
                                  agent_data_,
                                  "--instance",
                                  instance.empty() ? instance_ : instance,
                                  "--time-scale",
                                  "10"};
    args.insert(args.end(), extra.begin(), extra.end());
    agent_ = std::make_unique<ChildProcess>(args, dir_.path(), "agent" + std::to_string(++agents_));
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
    EXPECT_TRUE(std::regex_match(last_line, std::regex(R"(\[[^\]]+ INFO \] Shutting down\n)")))
        << last_line;
  }

  std::string log_text() { return read_text_file(agent_data_ + "/service.log"); }
  std::string config_text() { return read_text_file(agent_data_ + "/halvex_service.conf"); }
  bool wait_for_log(const std::string& text, std::chrono::milliseconds timeout) {
    return wait_for_file_text(agent_data_ + "/service.log", text, timeout);
  }
  // Counts `text` in the log after byte offset `from`.
  size_t log_count(const std::string& text, size_t from = 0) {
    return count_of(log_text(), text, from);
  }

  // Login with Browser, then the user approves the code on the server.
  void pair() {
    size_t from = log_text().size();
    agent_->write_stdin("login\n");
    ASSERT_TRUE(wait_for_log("pair: opening", 15s)) << log_text();
    std::smatch m;
    std::string log = log_text().substr(from);
    ASSERT_TRUE(std::regex_search(
        log, m,
        std::regex(
            R"(pair: opening https://localhost:\d+/link_service\?code=([A-HJ-NP-Z2-9]{6})\n)")))
        << log;
    ASSERT_EQ(server_.run({"approve", m[1], "--user", "demo"}), 0) << server_.last_output();
    ASSERT_TRUE(agent_->wait_for_output(std::string("status: Connected ") + kEmDash + " demo", 10s))
        << agent_->out();
  }

  // Runs `recovery-server COMMAND MACHINE args...` on the server's data
  // folder; returns its exit code and its one JSON line (null when it
  // printed none). Its standard error is left in job_err_.
  int run_job(const std::string& command, std::vector<std::string> args, Json* result,
              std::chrono::seconds timeout = 120s) {
    args.insert(args.begin(), {RECOVERY_SERVER_BIN, command, machine_id()});
    args.insert(args.end(), {"--data", server_data_});
    ChildProcess p(args, dir_.path(), command + std::to_string(++jobs_));
    std::string error;
    if (!p.start(&error)) return -1;
    p.close_stdin();
    int rc = p.wait(timeout).value_or(-1);
    job_err_ = p.err();
    *result = json_parse(p.out());
    return rc;
  }

  std::string machine_id() {
    std::smatch m;
    std::string conf = config_text();
    return std::regex_search(conf, m, std::regex(R"re("machine_id":"([0-9a-f]{12})")re"))
               ? m[1].str()
               : "";
  }

  TempDir dir_;
  ServerProcess server_{dir_.path()};
  const std::string server_data_ = server_.data();
  std::string agent_data_ = dir_.file("agent"), port_;
  std::string instance_ = "halvex-e2e-" + std::to_string(::getpid());
  std::unique_ptr<ChildProcess> agent_;
  std::string job_err_;
  int agents_ = 0, jobs_ = 0;
};

}  // namespace halvex::testing
