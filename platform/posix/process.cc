// Child processes through posix_spawn: an argument array, never a shell.

#include "platform/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

extern char** environ;

namespace halvex {

void process_open_url(const std::string& url) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string program = "xdg-open";
  char* argv[] = {program.data(), const_cast<char*>(url.c_str()), nullptr};
  pid_t pid;
  int rc = posix_spawnp(&pid, "xdg-open", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  // Reap it in the background so it leaves no zombie; its result is ignored.
  if (rc == 0) std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
}

int process_current_id() { return static_cast<int>(::getpid()); }

void process_exit(int code) {
  std::fflush(nullptr);
  std::_Exit(code);
}

}  // namespace halvex
