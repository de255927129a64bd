// The imaging and scan commands of `recovery-server`:
//
//   image MACHINE (--disk N | --file PATH) [--part-size-mb M]
//         [--start-part P --start-offset-gb G] [--base-url URL] [--timeout S]
//         [--offline-grace S]
//   scan MACHINE (--disk N | --path P) [--chunk-size B] [--config JSON]
//         [--base-url URL] [--timeout S] [--offline-grace S]
//
// Each issues an upload token through the running server's admin API (a
// resumed image reuses the token of the newest unfinished image of that
// machine and source), starts the job on the machine, and follows the
// machine's events from after the last one stored before the start, so no
// event of an earlier job is taken for this one. Progress goes to standard
// error; the outcome is one JSON line on standard output:
//   image: {"batch_id", "image", "bytes", "sha256"}
//   scan:  {"scan_id", "chunks", "hits", "tree_entries", "stored"}
// A machine that drops its link during the job fails the command after
// --offline-grace (server/cli/follow.h). Exit status: 0 on success, 1 on
// failure (the error on standard error), 2 for a usage error.
//
// Runs on the main thread.

#pragma once

#include "server/cli/flags.h"

namespace halvex::server {

extern const CliCommand kImageCommand;
extern const CliCommand kScanCommand;

}  // namespace halvex::server
