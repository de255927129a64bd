// Small readings of the server process under attack, for the security
// tests: its memory from /proc, and waiting for a condition (eventually).

#pragma once

#include <sys/types.h>

#include <fstream>
#include <string>

#include "tests/support/eventually.h"

namespace halvex::testing {

// "VmHWM" (peak resident memory) and the like from /proc/PID/status, in
// kB; -1 when unreadable.
inline long proc_status_kb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
  return -1;
}

}  // namespace halvex::testing
