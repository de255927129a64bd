// The `recovery-server` command line: init, serve, user add, and the admin
// client commands (machines, send, events, approve, revoke), and the
// commands of cli_jobs.h, cli_thumbnails.h, cli_transfer.h and cli_drone.h.
// Each command names its options in its own table (server/cli/flags.h);
// cli_main finds the command word and hands the sorted line to it. Every
// command finds what it needs in the data folder (--data, default
// "recovery-data").
//
// Runs on the main thread. Output of the client commands is JSON lines on
// standard output; failures go to standard error as
// "recovery-server: context: cause".

#pragma once

#include <string>
#include <vector>

namespace halvex::server {

// Exit status: 0 success, 1 failure, 2 usage error.
int cli_main(const std::vector<std::string>& args);

}  // namespace halvex::server
