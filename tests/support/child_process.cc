#include "tests/support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace halvex::testing {

using namespace std::chrono_literals;

std::string read_text_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool wait_for_file_text(const std::string& path, const std::string& text,
                        std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (read_text_file(path).find(text) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
}

ChildProcess::ChildProcess(std::vector<std::string> argv, std::string output_dir, std::string name)
    : argv_(std::move(argv)),
      out_path_(output_dir + "/" + name + ".out"),
      err_path_(output_dir + "/" + name + ".err") {}

ChildProcess::~ChildProcess() {
  close_stdin();
  if (pid_ > 0 && !status_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool ChildProcess::start(std::string* error) {
  int in_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) != 0) {
    *error = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  std::vector<char*> args;
  for (std::string& a : argv_) args.push_back(a.data());
  args.push_back(nullptr);
  int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in_pipe[0]);
  if (rc != 0) {
    ::close(in_pipe[1]);
    pid_ = -1;
    *error = "spawn " + argv_[0] + ": " + std::strerror(rc);
    return false;
  }
  stdin_fd_ = in_pipe[1];
  return true;
}

bool ChildProcess::write_stdin(const std::string& text) {
  if (stdin_fd_ < 0) return false;
  return ::write(stdin_fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

void ChildProcess::close_stdin() {
  if (stdin_fd_ >= 0) ::close(stdin_fd_);
  stdin_fd_ = -1;
}

bool ChildProcess::signal(int sig) { return pid_ > 0 && !status_ && ::kill(pid_, sig) == 0; }

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!status_ && pid_ > 0) {
    int st = 0;
    pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(10ms);
  }
  return status_;
}

bool ChildProcess::running() { return pid_ > 0 && !wait(0ms).has_value(); }

std::string ChildProcess::out() const { return read_text_file(out_path_); }
std::string ChildProcess::err() const { return read_text_file(err_path_); }

bool ChildProcess::wait_for_output(const std::string& text,
                                   std::chrono::milliseconds timeout) const {
  return wait_for_file_text(out_path_, text, timeout);
}

}  // namespace halvex::testing
