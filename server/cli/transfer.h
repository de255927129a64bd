// The transfer commands of `recovery-server`:
//
//   download MACHINE --folder DIR FILE... [--base-url URL] [--timeout S]
//            [--offline-grace S]
//   update MACHINE --installer PATH --version V [--force] [--base-url URL]
//          [--timeout S] [--offline-grace S]
//
// Each copies its files into the data folder's "files/" (served at
// /files/), sends the machine "start_download_job" or "do_update" through
// the running server's admin API, then follows the machine's events and
// prints the ones about the transfer as JSON lines until the outcome:
// "download_complete" or "download_error", or an "update_status" of
// "error", "up_to_date" or "restarting". Exit status: 0 when the outcome is
// a success (every file downloaded; up to date or restarting), 1 otherwise,
// 2 for a usage error. A machine that drops its link during the transfer
// fails the command after --offline-grace (server/cli/follow.h).
//
// Runs on the main thread.

#pragma once

#include "server/cli/flags.h"

namespace halvex::server {

extern const CliCommand kDownloadCommand;
extern const CliCommand kUpdateCommand;

}  // namespace halvex::server
