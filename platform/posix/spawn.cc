// Child processes through posix_spawn. glibc's posix_spawn reports a failed
// exec as its own result (it waits for the child's exec), so "started" means
// the program is running, not just that a fork happened.

#include "platform/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace halvex {

namespace {

constexpr uint32_t kFirstPollMs = 1;
constexpr uint32_t kMaxPollMs = 50;

int status_code(int wstatus) {
  if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
  return -1;
}

// Reaps the process if it has ended. True once it is reaped.
bool try_reap(SpawnedProcess* process) {
  if (process->status) return true;
  if (process->pid <= 0) return false;
  int wstatus = 0;
  pid_t rc;
  do {
    rc = ::waitpid(process->pid, &wstatus, WNOHANG);
  } while (rc < 0 && errno == EINTR);
  if (rc == 0) return false;
  // rc < 0 (ECHILD): someone else reaped it; report it as ended, status -1.
  process->status = rc > 0 ? status_code(wstatus) : -1;
  process->pid = -1;
  return true;
}

// The redirections of standard input, output and error; every other
// descriptor is closed (descriptors the agent forgot to mark close-on-exec
// must not keep its sockets alive in a child that outlives it).
void set_file_actions(const SpawnOptions& options, posix_spawn_file_actions_t* actions) {
  posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0);
  const std::string* paths[2] = {&options.stdout_path, &options.stderr_path};
  for (int fd = 1; fd <= 2; fd++) {
    const std::string& path = *paths[fd - 1];
    if (path.empty())
      posix_spawn_file_actions_addopen(actions, fd, "/dev/null", O_WRONLY, 0);
    else
      posix_spawn_file_actions_addopen(actions, fd, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  posix_spawn_file_actions_addclosefrom_np(actions, 3);
}

// Every signal unblocked and at its default disposition in the child.
void set_attributes(const SpawnOptions& options, posix_spawnattr_t* attr) {
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(attr, &none);
  posix_spawnattr_setsigdefault(attr, &all);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (options.new_session) flags |= POSIX_SPAWN_SETSID;
  posix_spawnattr_setflags(attr, flags);
}

}  // namespace

bool spawn_process(const std::vector<std::string>& argv, const SpawnOptions& options,
                   SpawnedProcess* out, std::string* error) {
  *out = SpawnedProcess{};
  if (argv.empty() || argv[0].empty()) {
    *error = "spawn: no program given";
    return false;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  set_file_actions(options, &actions);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  set_attributes(options, &attr);

  pid_t pid = -1;
  bool search = argv[0].find('/') == std::string::npos;
  int rc = search ? ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ)
                  : ::posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    *error = "spawn " + argv[0] + ": " + std::strerror(rc);
    return false;
  }
  out->pid = pid;
  return true;
}

std::optional<int> spawn_wait_for(SpawnedProcess* process, uint32_t timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  uint32_t pause = kFirstPollMs;
  // waitpid has no time limit of its own: poll, backing off to 50 ms.
  while (!try_reap(process)) {
    if (process->pid <= 0) return std::nullopt;  // nothing was started
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return std::nullopt;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<long long>(pause, left)));
    pause = std::min(pause * 2, kMaxPollMs);
  }
  return process->status;
}

bool spawn_kill(SpawnedProcess* process) {
  if (process->pid <= 0 || process->status) return false;
  return ::kill(process->pid, SIGKILL) == 0;
}

void spawn_detach(SpawnedProcess* process) {
  if (process->pid > 0 && !process->status) {
    pid_t pid = process->pid;
    std::thread([pid] {
      while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  }
  *process = SpawnedProcess{};
}

}  // namespace halvex
