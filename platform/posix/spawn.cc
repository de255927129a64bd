// Child processes through posix_spawn. glibc's posix_spawn reports a failed
// exec as its own result (it waits for the child's exec), so "started" means
// the program is running, not just that a fork happened.
//
// posix_spawn can only start a program by path. An opened program is
// started by fork and execveat on its descriptor instead, with the same
// clean start made by hand in the child, and a close-on-exec pipe that
// carries a failed exec's errno back so that "started" means the same.

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
      posix_spawn_file_actions_addopen(actions, fd, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0600);
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

// Descriptors in a child started from an opened program: 0 to 2 are the
// standard streams, then the program and the pipe that reports a failed
// exec. Both are moved above kChildHighFd first, out of the way of the
// standard streams.
constexpr int kChildProgramFd = 3;
constexpr int kChildErrorFd = 4;
constexpr int kChildHighFd = 10;

// Everything the child needs, made before the fork: after it, in a process
// with other threads, only async-signal-safe calls are allowed (no malloc).
struct ChildPlan {
  int program_fd;
  int error_fd;
  const char* stdout_path;  // null: /dev/null
  const char* stderr_path;
  bool new_session;
  char* const* argv;
};

[[noreturn]] void child_fail(int error_fd) {
  int err = errno;
  ssize_t ignored = ::write(error_fd, &err, sizeof err);
  (void)ignored;
  ::_exit(127);
}

// Opens `path` (or /dev/null) as descriptor `target`.
void child_open_as(int target, const char* path, int flags, int error_fd) {
  int fd = path ? ::open(path, flags | O_CREAT | O_TRUNC, 0600) : ::open("/dev/null", flags);
  if (fd < 0) child_fail(error_fd);
  if (fd != target) {
    if (::dup2(fd, target) < 0) child_fail(error_fd);
    ::close(fd);
  }
}

[[noreturn]] void exec_child(const ChildPlan& plan) {
  // Handlers are reset to the default before signals are let through.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int sig = 1; sig < NSIG; sig++)
    if (sig != SIGKILL && sig != SIGSTOP)
      ::sigaction(sig, &dfl, nullptr);  // glibc's own refuse: fine
  int error_fd = ::fcntl(plan.error_fd, F_DUPFD_CLOEXEC, kChildHighFd);
  int program_fd = ::fcntl(plan.program_fd, F_DUPFD_CLOEXEC, kChildHighFd);
  if (error_fd < 0) child_fail(plan.error_fd);
  if (program_fd < 0) child_fail(error_fd);
  if (plan.new_session && ::setsid() < 0) child_fail(error_fd);
  child_open_as(0, nullptr, O_RDONLY, error_fd);
  child_open_as(1, plan.stdout_path, O_WRONLY, error_fd);
  child_open_as(2, plan.stderr_path, O_WRONLY, error_fd);
  if (::dup3(error_fd, kChildErrorFd, O_CLOEXEC) < 0) child_fail(error_fd);
  if (::dup3(program_fd, kChildProgramFd, O_CLOEXEC) < 0) child_fail(kChildErrorFd);
  ::closefrom(kChildErrorFd + 1);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execveat(kChildProgramFd, "", plan.argv, environ, AT_EMPTY_PATH);
  // A script's interpreter opens it again as /dev/fd/3, which a
  // close-on-exec descriptor no longer is by then (ENOENT): keep it open.
  if (errno == ENOENT) {
    ::fcntl(kChildProgramFd, F_SETFD, 0);
    ::execveat(kChildProgramFd, "", plan.argv, environ, AT_EMPTY_PATH);
  }
  child_fail(kChildErrorFd);
}

// The errno a child reported before its exec, or 0 once the exec closed the
// pipe.
int read_child_error(int fd) {
  int err = 0;
  ssize_t n;
  do {
    n = ::read(fd, &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(sizeof err) ? err : 0;
}

void reap(pid_t pid) {
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
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

bool spawn_program(const ProgramFile& program, const std::vector<std::string>& argv,
                   const SpawnOptions& options, SpawnedProcess* out, std::string* error) {
  *out = SpawnedProcess{};
  if (argv.empty() || program.fd() < 0) {
    *error = "spawn: no program given";
    return false;
  }
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    *error = "spawn " + argv[0] + ": " + std::strerror(errno);
    return false;
  }
  ChildPlan plan{program.fd(),
                 pipe_fds[1],
                 options.stdout_path.empty() ? nullptr : options.stdout_path.c_str(),
                 options.stderr_path.empty() ? nullptr : options.stderr_path.c_str(),
                 options.new_session,
                 args.data()};
  // Every signal stays blocked from the fork until the child has reset its
  // handlers: none of the agent's handlers may run in the child.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  pid_t pid = ::fork();
  if (pid == 0) exec_child(plan);
  int fork_errno = errno;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ::close(pipe_fds[1]);
  int child_errno = pid < 0 ? fork_errno : read_child_error(pipe_fds[0]);
  ::close(pipe_fds[0]);
  if (pid > 0 && child_errno != 0) reap(pid);
  if (child_errno != 0) {
    *error = "spawn " + argv[0] + ": " + std::strerror(child_errno);
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
    std::thread([pid] { reap(pid); }).detach();
  }
  *process = SpawnedProcess{};
}

}  // namespace halvex
