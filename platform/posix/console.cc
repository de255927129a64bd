// Console input through poll(2) on standard input, a signalfd for the
// signals (or a pipe fed by a signal handler where there is no signalfd),
// and a pipe for wakes.

#include "platform/console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/console_testing.h"

namespace halvex {

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGUSR1};

int g_signal_fd = -1;  // the signalfd, or the read end of g_signal_pipe
bool g_signal_pipe_mode = false;
int g_signal_pipe[2] = {-1, -1};
int g_wake_pipe[2] = {-1, -1};
bool g_stdin_open = true;
bool g_fail_signalfd = false;
std::string g_pending;  // a partial line read so far

bool take_line(std::string* line) {
  size_t nl = g_pending.find('\n');
  if (nl == std::string::npos) return false;
  *line = g_pending.substr(0, nl);
  g_pending.erase(0, nl + 1);
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

// Runs on whichever thread the signal lands on: one write, errno kept.
void on_signal(int sig) {
  int saved = errno;
  unsigned char byte = static_cast<unsigned char>(sig);
  ssize_t ignored = ::write(g_signal_pipe[1], &byte, 1);
  (void)ignored;
  errno = saved;
}

// The fallback without a signalfd: a handler on every thread writes the
// signal's number to a pipe that console_next() reads. False when not even
// the pipe can be had.
bool route_signals_through_pipe() {
  if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sa.sa_flags = SA_RESTART;
  sigfillset(&sa.sa_mask);
  for (int sig : kSignals) ::sigaction(sig, &sa, nullptr);
  g_signal_fd = g_signal_pipe[0];
  g_signal_pipe_mode = true;
  return true;
}

int open_signalfd(const sigset_t& set) {
  if (g_fail_signalfd) {
    g_fail_signalfd = false;
    errno = ENOSYS;
    return -1;
  }
  return ::signalfd(-1, &set, SFD_CLOEXEC);
}

// The next signal from the signalfd or the pipe; 0 when there is none.
int read_signal() {
  if (g_signal_pipe_mode) {
    unsigned char byte = 0;
    return ::read(g_signal_fd, &byte, 1) == 1 ? byte : 0;
  }
  signalfd_siginfo info;
  return ::read(g_signal_fd, &info, sizeof info) == sizeof info ? static_cast<int>(info.ssi_signo)
                                                                : 0;
}

}  // namespace

bool console_init(std::string* error) {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kSignals) sigaddset(&set, sig);
  ::signal(SIGPIPE, SIG_IGN);
  if (::pipe2(g_wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) g_wake_pipe[0] = g_wake_pipe[1] = -1;
  // Blocked here, before any thread exists, so every thread inherits the
  // mask and the signals wait for the signalfd.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  g_signal_fd = open_signalfd(set);
  if (g_signal_fd >= 0) return true;
  // Blocked signals that nothing reads would make the agent deaf to Ctrl-C
  // and to a service manager's stop: let them through again.
  *error = std::string("signalfd failed (") + std::strerror(errno) + ")";
  bool piped = route_signals_through_pipe();
  *error += piped ? ": signals go through a handler" : ": signals keep their default actions";
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  return false;
}

ConsoleEvent console_next() {
  ConsoleEvent ev;
  for (;;) {
    if (take_line(&ev.line)) {
      ev.kind = ConsoleEventKind::kLine;
      return ev;
    }
    pollfd fds[3] = {{g_signal_fd, POLLIN, 0},
                     {g_wake_pipe[0], POLLIN, 0},
                     {g_stdin_open ? STDIN_FILENO : -1, POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      ev.kind = ConsoleEventKind::kExit;  // can't wait any more: end cleanly
      return ev;
    }
    if (fds[0].revents & POLLIN) {
      if (int sig = read_signal()) {
        ev.kind = sig == SIGUSR1 ? ConsoleEventKind::kLogin : ConsoleEventKind::kExit;
        return ev;
      }
    }
    if (fds[1].revents & POLLIN) {
      char drain[64];
      while (::read(g_wake_pipe[0], drain, sizeof drain) > 0) {
      }
      ev.kind = ConsoleEventKind::kWake;
      return ev;
    }
    if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
      char buf[1024];
      ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
      if (n > 0) {
        g_pending.append(buf, static_cast<size_t>(n));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        g_stdin_open = false;  // closed: keep running on signals alone
        if (!g_pending.empty()) g_pending += '\n';
      }
    }
  }
}

void console_wake() {
  if (g_wake_pipe[1] < 0) return;
  char c = 1;
  ssize_t ignored = ::write(g_wake_pipe[1], &c, 1);
  (void)ignored;
}

void console_fail_signalfd_for_testing() { g_fail_signalfd = true; }

}  // namespace halvex
