// Other programs, through the spawn layer: an argument array, never a
// shell.

#include "platform/process.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/spawn.h"

namespace halvex {

void process_open_url(const std::string& url) {
  // The browser that xdg-open starts outlives it: it must not inherit the
  // agent's blocked and ignored signals (spawn_process resets them).
  SpawnedProcess process;
  std::string error;
  if (spawn_process({"xdg-open", url}, SpawnOptions{}, &process, &error)) spawn_detach(&process);
}

bool process_may_open_browser() { return ::geteuid() != 0; }

int process_current_id() { return static_cast<int>(::getpid()); }

void process_exit(int code) {
  std::fflush(nullptr);
  std::_Exit(code);
}

}  // namespace halvex
