// Child processes: start a program from an argument array (never through a
// shell), then wait for it with a time limit, kill it, or let it run on
// after this process ends. Used for the update hand-over and for outside
// tools such as ffmpeg.
//
// The child gets a clean start whatever the agent has set up for itself:
// standard input on /dev/null, standard output and error on /dev/null or on
// the files named in SpawnOptions, every other descriptor closed, every
// signal unblocked and at its default disposition (the agent blocks SIGINT,
// SIGTERM and SIGUSR1 and ignores SIGPIPE, which a child would otherwise
// inherit).
//
// On Windows the child starts hidden without a console window, with no
// standard handles but the files named, and an argument vector quoted for
// the C runtime's parser.
//
// Threads: any thread. A SpawnedProcess belongs to one thread at a time; a
// process must be waited for (to its end), killed and waited for, or
// detached, so that it leaves no zombie behind.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/program_search.h"

namespace halvex {

struct SpawnOptions {
  // Empty: /dev/null. Otherwise the file is created or truncated (0600).
  std::string stdout_path;
  std::string stderr_path;
  // The child starts its own session (setsid): it has no controlling
  // terminal and is not in the agent's process group, so a signal to that
  // group (Ctrl-C in a terminal, a service manager stopping the agent) does
  // not reach it.
  bool new_session = false;
};

struct SpawnedProcess {
  int pid = -1;               // -1 when nothing was started or it was reaped
  std::optional<int> status;  // set once reaped: see spawn_wait_for
  void* handle = nullptr;     // the process handle where the system has one (Windows)
};

// Starts argv[0] with the arguments argv[1..]. argv[0] without a '/' is
// looked up in PATH. Returns true and fills *out when the program was
// started; false with *error "spawn PROGRAM: cause" when it could not be
// (argv empty, program missing or not executable, no resources).
bool spawn_process(const std::vector<std::string>& argv, const SpawnOptions& options,
                   SpawnedProcess* out, std::string* error);

// Starts the program opened as `program` itself, not whatever its path
// names by now, with the arguments argv[1..]; argv[0] is only the name the
// program is told it runs under. Otherwise as spawn_process. (A script is
// handed to its interpreter as /dev/fd/3, the one descriptor it keeps.)
bool spawn_program(const ProgramFile& program, const std::vector<std::string>& argv,
                   const SpawnOptions& options, SpawnedProcess* out, std::string* error);

// Waits up to `timeout_ms` (0: just looks) for the process to end. Returns
// its status once it has ended: the exit code, or 128 + the signal number
// when a signal ended it. nullopt while it still runs after the time limit.
// A process already reaped returns its stored status again.
std::optional<int> spawn_wait_for(SpawnedProcess* process, uint32_t timeout_ms);

// Sends SIGKILL. The caller still waits for it (spawn_wait_for) to reap it.
// False when there is no such process any more.
bool spawn_kill(SpawnedProcess* process);

// Gives the process up: it runs on by itself and a background thread reaps
// it when it ends, unless this process has ended first. *process is reset.
void spawn_detach(SpawnedProcess* process);

}  // namespace halvex
