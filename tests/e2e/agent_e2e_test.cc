// The agent process end to end: the service host (service_main with a test
// server and CA) against the real reference server over real TLS, driven
// through its console like a user would.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>

#include <memory>
#include <regex>
#include <thread>

#include "platform/local_socket.h"
#include "tests/e2e/agent_fixture.h"
#include "tests/support/eventually.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;
using testing::kEmDash;
using testing::TempDir;

class AgentE2ETest : public testing::AgentFixture {};

TEST_F(AgentE2ETest, FirstStartPairsAndRestartAuthenticatesWithTheStoredKey) {
  start_agent();
  EXPECT_TRUE(std::regex_match(
      config_text(),
      std::regex(R"(\{"machine_id":"[0-9a-f]{12}","private_key":"[A-Za-z0-9+/]{43}="\})")))
      << config_text();
  pair();
  EXPECT_TRUE(std::regex_match(
      config_text(),
      std::regex(
          R"(\{"machine_id":"[0-9a-f]{12}","private_key":"[A-Za-z0-9+/]{43}=","username":"demo"\})")))
      << config_text();
  // The tooltip is printed just after the status pair() waits for.
  EXPECT_TRUE(agent_->wait_for_output(
      std::string("tooltip: Halvex Service v" SERVICE_VERSION_TEXT " ") + kEmDash + " demo", 5s))
      << agent_->out();
  exit_agent();

  size_t from = log_text().size();
  start_agent();
  ASSERT_TRUE(wait_for_log("auth: authenticated as demo", 15s)) << log_text().substr(from);
  EXPECT_EQ(log_count("pair:", from), 0u);
  EXPECT_EQ(log_count("auth: loaded keypair from config", from), 1u);

  // The disk and drone handlers are wired into the agent: each request's
  // answer is stored on the server.
  for (const char* request : {"list_disks", "dji_get_status"})
    ASSERT_EQ(server_.run({"send", machine_id(), request}), 0) << server_.last_output();
  std::string stored;
  auto answered = [&] {
    server_.run({"events", machine_id()}, "", &stored);
    return stored.find("\"e\":\"disk_list\"") != std::string::npos &&
           stored.find("\"e\":\"dji_device_info\"") != std::string::npos;
  };
  EXPECT_TRUE(testing::eventually(answered, 10s)) << stored;
  exit_agent();
}

TEST_F(AgentE2ETest, ReconnectSequenceWatchdogAndRecovery) {
  start_agent();
  pair();
  std::string listen = "127.0.0.1:" + port_;
  size_t from = log_text().size();
  stop_server();
  ASSERT_TRUE(wait_for_log("reconnect: all attempts failed, watchdog will retry", 30s))
      << log_text().substr(from);
  for (int n = 1; n <= 6; n++) {
    std::string wait =
        std::to_string(std::vector<int>{1, 2, 3, 5, 10, 15}[static_cast<size_t>(n - 1)]);
    EXPECT_EQ(
        log_count("reconnect: attempt " + std::to_string(n) + "/6 (wait " + wait + "s)", from), 1u)
        << n;
  }
  EXPECT_TRUE(agent_->wait_for_output(
      std::string("status: Connection failed ") + kEmDash + " retrying soon", 5s));
  ASSERT_TRUE(wait_for_log("watchdog: not connected, triggering reconnect", 10s));

  from = log_text().size();
  start_server(listen);
  ASSERT_TRUE(wait_for_log("auth: authenticated as demo", 30s)) << log_text().substr(from);
  exit_agent();
}

TEST_F(AgentE2ETest, DisconnectForgetsTheLinkAndStaysQuiet) {
  start_agent();
  pair();
  agent_->write_stdin("disconnect\n");
  // The tooltip text is Disconnect's own ("status: Not linked" is also the
  // tray's first line).
  ASSERT_TRUE(agent_->wait_for_output(
      std::string("tooltip: Halvex Service ") + kEmDash + " Not linked", 10s));
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

// A local user who takes the agent's instance name first, in any namespace
// other users can reach (here an abstract Unix socket of that name), must
// not keep the agent from starting: the name is a lock in its own folder,
// and that lock sends a second agent on the same folder quietly away.
TEST_F(AgentE2ETest, InstanceNameIsALockInTheAgentsFolder) {
  int squatter = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(squatter, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, instance_.data(), instance_.size());
  socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + instance_.size());
  ASSERT_EQ(::bind(squatter, reinterpret_cast<sockaddr*>(&addr), size), 0);
  start_agent();
  pair();

  TempDir other;
  ChildProcess second({SERVICE_HOST_BIN, "--host", "localhost:" + port_, "--data", agent_data_,
                       "--instance", instance_},
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
  ::close(squatter);
}

TEST_F(AgentE2ETest, RevocationDeletesTheStoreAndStopsReconnects) {
  start_agent();
  pair();
  ASSERT_EQ(server_.run({"revoke", machine_id()}), 0) << server_.last_output();
  ASSERT_TRUE(agent_->wait_for_output("status: Auth failed", 30s)) << log_text();
  EXPECT_TRUE(wait_for_log("auth: cleared config (key revoked)", 5s));
  EXPECT_EQ(config_text(), "");
  size_t from = log_text().size();
  stop_server();
  ASSERT_TRUE(wait_for_log("reconnect: no private_key in config, skipping", 30s))
      << log_text().substr(from);
  EXPECT_EQ(log_count("reconnect: attempt", from), 0u);
  exit_agent();
}

class ServicectlE2ETest : public testing::AgentFixture {
 protected:
  struct Result {
    int code = -1;
    std::string out, err;
  };
  std::unique_ptr<ChildProcess> start_ctl(const std::string& command) {
    auto p = std::make_unique<ChildProcess>(
        std::vector<std::string>{SERVICECTL_BIN, "--data", agent_data_, command}, dir_.path(),
        "ctl" + std::to_string(++ctls_));
    std::string error;
    EXPECT_TRUE(p->start(&error)) << error;
    return p;
  }
  Result ctl(const std::string& command) {
    std::unique_ptr<ChildProcess> p = start_ctl(command);
    int code = p->wait(30s).value_or(-1);
    return {code, p->out(), p->err()};
  }
  // Sends `bytes` as they are, ends the sending side and returns the whole
  // answer.
  std::string raw_exchange(const std::string& bytes) {
    std::string error;
    std::optional<int> fd = local_connect(agent_data_ + "/control.sock", &error);
    if (!fd) return error;
    local_write(*fd, bytes);
    ::shutdown(*fd, SHUT_WR);
    std::string answer;
    char buffer[256];
    int n;
    while ((n = local_read(*fd, buffer, sizeof buffer, 10000)) > 0)
      answer.append(buffer, static_cast<size_t>(n));
    local_close(*fd);
    return answer;
  }
  // Asks for the status as user `uid` (a forked child that drops to it).
  std::string exchange_as_user(uid_t uid) {
    std::string path = agent_data_ + "/control.sock";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return "pipe failed";
    pid_t child = ::fork();
    if (child == 0) {
      // Only system calls from here on: this process was forked from a
      // threaded one.
      ::close(pipe_fds[0]);
      if (::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) ::_exit(3);
      int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) ::_exit(4);
      // The agent may refuse and close before this arrives.
      (void)::send(fd, "status\n", 7, MSG_NOSIGNAL);
      char buffer[256];
      ssize_t n;
      while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        if (::write(pipe_fds[1], buffer, static_cast<size_t>(n)) != n) ::_exit(6);
      ::_exit(0);
    }
    ::close(pipe_fds[1]);
    std::string answer;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(pipe_fds[0], buffer, sizeof buffer)) > 0)
      answer.append(buffer, static_cast<size_t>(n));
    ::close(pipe_fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return answer + (WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                                       : "signal " + std::to_string(WTERMSIG(status)));
  }
  int ctls_ = 0;
};

// An agent without a console, as under systemd: halvex-servicectl gives it
// the tray's commands through the socket in its data folder.
TEST_F(ServicectlE2ETest, PairsReportsAndExitsThroughTheControlSocket) {
  start_agent();
  struct stat st;
  ASSERT_EQ(::stat((agent_data_ + "/control.sock").c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(agent_data_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  // Not linked (or "Auth failed", once the server has refused the new key).
  Result status = ctl("status");
  EXPECT_EQ(status.code, 0) << status.err;
  EXPECT_TRUE(std::regex_match(
      status.out,
      std::regex("status: (Not linked|Auth failed)\ntooltip: Halvex Service v" SERVICE_VERSION_TEXT
                 "\nlinked: no\n")))
      << status.out;

  std::unique_ptr<ChildProcess> login = start_ctl("login");
  ASSERT_TRUE(login->wait_for_output("code: ", 15s)) << login->out() << login->err() << log_text();
  std::smatch m;
  std::string out = login->out();
  ASSERT_TRUE(std::regex_search(
      out, m,
      std::regex(
          R"(^url: https://localhost:\d+/link_service\?code=([A-HJ-NP-Z2-9]{6})\ncode: ([A-Z2-9]{6})\n)")))
      << out;
  EXPECT_EQ(m[1], m[2]);
  ASSERT_EQ(server_.run({"approve", m[1], "--user", "demo"}), 0) << server_.last_output();
  EXPECT_EQ(login->wait(15s), 0) << login->err();
  EXPECT_NE(login->out().find(std::string("\nlinked: Connected ") + kEmDash + " demo\n"),
            std::string::npos)
      << login->out();
  EXPECT_EQ(ctl("status").out, std::string("status: Connected ") + kEmDash +
                                   " demo\ntooltip: Halvex Service v" + SERVICE_VERSION_TEXT + " " +
                                   kEmDash + " demo\nlinked: yes\n");

  // Outside input: unknown and oversized commands are answered, not run.
  struct {
    std::string sent, answer;
  } hostile[] = {
      {"menu\n", "error: unknown command (login, dashboard, disconnect, exit, status)\n"},
      {"exit now\n", "error: unknown command (login, dashboard, disconnect, exit, status)\n"},
      {std::string(100000, 'e') + "\n", "error: command too long\n"},
      {"", "error: no command\n"},
  };
  for (auto& h : hostile) EXPECT_EQ(raw_exchange(h.sent), h.answer) << h.sent.size();
  Result usage = ctl("menu");
  EXPECT_EQ(usage.code, 2);

  // Another user who reaches the socket (the folder opened up on purpose
  // here) is refused by its user id.
  struct stat test_dir;
  ASSERT_EQ(::stat(dir_.path().c_str(), &test_dir), 0);
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0711), 0);
  ASSERT_EQ(::chmod(agent_data_.c_str(), 0711), 0);
  ASSERT_EQ(::chmod((agent_data_ + "/control.sock").c_str(), 0666), 0);
  EXPECT_EQ(exchange_as_user(65534), "error: not allowed\nexit 0");
  ASSERT_EQ(::chmod(agent_data_.c_str(), 0700), 0);
  ASSERT_EQ(::chmod(dir_.path().c_str(), test_dir.st_mode & 07777), 0);
  EXPECT_TRUE(agent_->running());

  Result exit = ctl("exit");
  EXPECT_EQ(exit.code, 0) << exit.err;
  EXPECT_EQ(agent_->wait(15s), 0);
  EXPECT_NE(log_text().find("Exit requested"), std::string::npos);
  EXPECT_NE(log_text().find("Shutting down"), std::string::npos);
  Result gone = ctl("status");
  EXPECT_EQ(gone.code, 1);
  EXPECT_NE(gone.err.find("halvex-servicectl: no agent answers"), std::string::npos) << gone.err;
}

}  // namespace
}  // namespace halvex
