// The console's signals, with and without a signalfd. Each case runs in a
// child process of its own: console_init() changes the process's signal
// mask and handlers for good.

#include "platform/console.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/console_testing.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;

// Exit codes of the child.
constexpr int kRightEvent = 0;
constexpr int kWrongEvent = 1;
constexpr int kWrongInitResult = 2;

struct Case {
  const char* what;
  bool fail_signalfd;
  int signal;
  ConsoleEventKind expected;
  const char* error;  // console_init's text when it fails
};

[[noreturn]] void run_child(const Case& c) {
  if (c.fail_signalfd) console_fail_signalfd_for_testing();
  std::string error;
  bool ok = console_init(&error);
  if (ok != !c.fail_signalfd || error != c.error) ::_exit(kWrongInitResult);
  // The signal comes from another thread; a wake after 5 s ends a wait for
  // a signal that never arrives.
  std::thread([sig = c.signal] { ::kill(::getpid(), sig); }).detach();
  std::thread([] {
    std::this_thread::sleep_for(5s);
    console_wake();
  }).detach();
  ConsoleEvent ev = console_next();
  ::_exit(ev.kind == c.expected ? kRightEvent : kWrongEvent);
}

// Without a signalfd, SIGINT and SIGTERM must still end the tray's loop
// (blocked signals that nothing reads would leave the agent deaf to Ctrl-C
// and to a service manager's stop), and SIGUSR1 still asks for a login.
TEST(ConsoleTest, SignalsReachTheLoopWithOrWithoutSignalfd) {
  const char* fallback = "signalfd failed (Function not implemented): signals go through a handler";
  const Case cases[] = {
      {"signalfd: SIGTERM", false, SIGTERM, ConsoleEventKind::kExit, ""},
      {"signalfd: SIGUSR1", false, SIGUSR1, ConsoleEventKind::kLogin, ""},
      {"no signalfd: SIGTERM", true, SIGTERM, ConsoleEventKind::kExit, fallback},
      {"no signalfd: SIGINT", true, SIGINT, ConsoleEventKind::kExit, fallback},
      {"no signalfd: SIGUSR1", true, SIGUSR1, ConsoleEventKind::kLogin, fallback},
  };
  for (const Case& c : cases) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) run_child(c);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << c.what << ": ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), kRightEvent) << c.what;
  }
}

}  // namespace
}  // namespace halvex
