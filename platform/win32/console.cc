// The console front end on Windows: a reader thread turns lines of standard
// input into events, and the console control handler turns Ctrl+C, Ctrl+Break,
// closing the console window, logoff and shutdown into Exit. There is no
// SIGUSR1 here: Login comes only as a typed command.
//
// Events wait in a queue under one lock; console_next() takes them in order.

#include "platform/console.h"

#include <windows.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <iostream>
#include <mutex>
#include <thread>

namespace halvex {
namespace {

std::mutex g_mu;
std::condition_variable g_cv;
std::deque<ConsoleEvent> g_events;  // guarded by g_mu

void push(ConsoleEvent ev) {
  {
    std::lock_guard<std::mutex> lock(g_mu);
    g_events.push_back(std::move(ev));
  }
  g_cv.notify_one();
}

BOOL WINAPI on_control(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      push({ConsoleEventKind::kExit, ""});
      return TRUE;
    default:
      return FALSE;
  }
}

void read_lines() {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    push({ConsoleEventKind::kLine, line});
  }
}

}  // namespace

void console_init() {
  ::SetConsoleCtrlHandler(on_control, TRUE);
  // Blocked in a read for the life of the process; never joined.
  std::thread(read_lines).detach();
}

ConsoleEvent console_next() {
  std::unique_lock<std::mutex> lock(g_mu);
  g_cv.wait(lock, [] { return !g_events.empty(); });
  ConsoleEvent ev = std::move(g_events.front());
  g_events.pop_front();
  return ev;
}

void console_wake() { push({ConsoleEventKind::kWake, ""}); }

}  // namespace halvex
