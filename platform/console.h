// The console front end's input: lines typed on standard input and the
// signals that stand in for the tray's menu (SIGINT and SIGTERM mean Exit,
// SIGUSR1 means Login with Browser).
//
// console_init() must run on the main thread before any other thread starts,
// so that those signals reach only console_next(). console_next() is for the
// main thread; console_wake() may be called from any thread.

#pragma once

#include <string>

namespace halvex {

enum class ConsoleEventKind {
  kLine,   // a line from standard input (without its newline)
  kExit,   // SIGINT or SIGTERM
  kLogin,  // SIGUSR1
  kWake,   // console_wake() was called
};

struct ConsoleEvent {
  ConsoleEventKind kind = ConsoleEventKind::kWake;
  std::string line;
};

// Routes SIGINT, SIGTERM and SIGUSR1 to console_next() and ignores SIGPIPE.
// The signals are blocked and read from a signalfd. Where no signalfd can
// be had, a handler passes them on through a pipe instead; where not even
// that can, they keep their default actions, so SIGINT and SIGTERM still
// end the process. Either fallback returns false with *error saying why,
// for the caller to log once the log is open.
bool console_init(std::string* error);

// Waits for the next event. Once standard input is closed, only signals and
// wakes remain.
ConsoleEvent console_next();

// Makes a waiting (or the next) console_next() return kWake.
void console_wake();

}  // namespace halvex
