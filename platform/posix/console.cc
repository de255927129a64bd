// Console input through poll(2) on standard input, a signalfd for the
// signals, and a pipe for wakes.

#include "platform/console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>

namespace halvex {

namespace {

int g_signal_fd = -1;
int g_wake_pipe[2] = {-1, -1};
bool g_stdin_open = true;
std::string g_pending;  // a partial line read so far

bool take_line(std::string* line) {
  size_t nl = g_pending.find('\n');
  if (nl == std::string::npos) return false;
  *line = g_pending.substr(0, nl);
  g_pending.erase(0, nl + 1);
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

}  // namespace

void console_init() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGUSR1);
  // Blocked here, before any thread exists, so every thread inherits the
  // mask and the signals wait for the signalfd.
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  g_signal_fd = ::signalfd(-1, &set, SFD_CLOEXEC);
  if (::pipe2(g_wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) g_wake_pipe[0] = g_wake_pipe[1] = -1;
  ::signal(SIGPIPE, SIG_IGN);
}

ConsoleEvent console_next() {
  ConsoleEvent ev;
  for (;;) {
    if (take_line(&ev.line)) {
      ev.kind = ConsoleEventKind::kLine;
      return ev;
    }
    pollfd fds[3] = {{g_signal_fd, POLLIN, 0}, {g_wake_pipe[0], POLLIN, 0},
                     {g_stdin_open ? STDIN_FILENO : -1, POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      ev.kind = ConsoleEventKind::kExit;  // can't wait any more: end cleanly
      return ev;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info;
      if (::read(g_signal_fd, &info, sizeof info) == sizeof info) {
        ev.kind = info.ssi_signo == SIGUSR1 ? ConsoleEventKind::kLogin : ConsoleEventKind::kExit;
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

}  // namespace halvex
