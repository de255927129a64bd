// The `recovery-server drone` command: drives a machine's drone link
// through the admin API and prints what the agent answers.
//
//   drone MACHINE connect [--usb-vid N] [--probe-hex H]
//   drone MACHINE disconnect | status | tx HEX | rx [--after N] [--follow]
//
// Runs on the main thread. Output is JSON lines (the stored events, as
// `events` prints them); failures go to standard error as
// "recovery-server: context: cause".

#pragma once

#include <string>
#include <vector>

namespace halvex::server {

// True when `args` name the drone command (its first word that is neither
// an option nor an option's value).
bool cli_is_drone(const std::vector<std::string>& args);

// Exit status: 0 success, 1 failure (also a failed connect), 2 usage error.
int cli_drone(const std::vector<std::string>& args);

}  // namespace halvex::server
