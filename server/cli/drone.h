// The `recovery-server drone` command: drives a machine's drone link
// through the admin API and prints what the agent answers.
//
//   drone MACHINE connect [--usb-vid N] [--probe-hex H]
//   drone MACHINE disconnect | status | tx HEX | rx [--after N] [--follow]
//
// A machine that drops its link while an answer is awaited has the offline
// grace (30 s) to come back with it (server/cli/follow.h).
//
// Runs on the main thread. Output is JSON lines (the stored events, as
// `events` prints them); failures go to standard error as
// "recovery-server: context: cause".

#pragma once

#include "server/cli/flags.h"

namespace halvex::server {

// Exit status: 0 success, 1 failure (also a failed connect), 2 usage error.
extern const CliCommand kDroneCommand;

}  // namespace halvex::server
