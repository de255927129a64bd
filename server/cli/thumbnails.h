// The thumbnails command of `recovery-server`:
//
//   thumbnails MACHINE --path P (--videos JSON | --scan N) [--base-url URL]
//              [--timeout S] [--offline-grace S]
//
// With --videos, issues an upload token tied to a new scan record through
// the running server's admin API, and sends the machine
// "generate_thumbnails" for those videos (a JSON array of their offsets, as
// the agent takes them) on the disk or image P; with --scan, sends it for
// the videos the stored scan N of the machine found (scan_videos.h, as the
// console's button does), and the thumbnails join that scan. It then
// follows the machine's events for that scan from
// after the last one stored before the start. Progress goes to standard
// error; at "thumbnails_complete" one JSON line goes to standard output:
//   {"generated", "total", "stored"}
// with the thumbnails the agent uploaded, the videos asked for, and the
// folder where the server keeps the scan's thumbnails (INDEX.jpg, with
// INDEX.json beside it). Exit status: 0 on completion, 1 on failure (the
// error on standard error), 2 for a usage error. A machine that drops its
// link during the run fails the command after --offline-grace
// (server/cli/follow.h).
//
// Runs on the main thread.

#pragma once

#include "server/cli/flags.h"

namespace halvex::server {

extern const CliCommand kThumbnailsCommand;

}  // namespace halvex::server
