// The transfer commands of `recovery-server`:
//
//   download MACHINE --folder DIR FILE... [--base-url URL]
//   update MACHINE --installer PATH --version V [--force] [--base-url URL]
//
// Each copies its files into the data folder's "files/" (served at
// /files/), sends the machine "start_download_job" or "do_update" through
// the running server's admin API, then follows the machine's events and
// prints the ones about the transfer as JSON lines until the outcome:
// "download_complete" or "download_error", or an "update_status" of
// "error", "up_to_date" or "restarting". Exit status: 0 when the outcome is
// a success (every file downloaded; up to date or restarting), 1 otherwise,
// 2 for a usage error.
//
// Runs on the main thread.

#pragma once

#include <string>
#include <vector>

namespace halvex::server {

// True when the command word of `args` is "download" or "update".
bool cli_is_transfer_command(const std::vector<std::string>& args);

int cli_transfer_main(const std::vector<std::string>& args);

}  // namespace halvex::server
