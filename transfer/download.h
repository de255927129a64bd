// File downloads for the server: "start_download_job" fetches a list of
// files, one after another, into a local folder; "cancel_download" stops
// it between pieces. A name that is taken is numbered ("report (1).pdf"),
// never replaced; progress goes out as "download_progress" after every
// piece written, and each job ends with one "download_complete" (or
// "download_error" when the folder is unusable).
//
// Threads: the handlers run on the connection thread; each job runs on a
// detached thread of its own, which owns its copy of the request. The
// cancel flag is the only state jobs share, and it is atomic.

#pragma once

#include <string>

#include "core/json.h"
#include "platform/new_file.h"
#include "transfer/fetch.h"

namespace halvex {

// One "read" of a download: the body is written, and progress reported,
// in pieces of this size (the last one may be shorter).
constexpr size_t kDownloadBufferBytes = 1 << 20;

// Registers "start_download_job", then "cancel_download". `base_url` gives
// the default for a request without "server_url". "cancel_download" sets a
// process-wide cancel flag, which the next "start_download_job" clears.
void download_register_handlers(ServerBaseUrlFn base_url);

// Runs one job for the request `request` (the "d" of "start_download_job")
// on the calling thread, sending its events through `send`.
// `default_base_url` stands in for a missing "server_url".
void download_job(const cJSON* request, const std::string& default_base_url, const EventSink& send);

// How many redirects a download follows, as the platform's HTTP client does
// by default; each hop must pass the installer URL rule (transfer/url.h).
constexpr int kDownloadMaxRedirects = 5;

// Fetches `url` into `file` (created, empty), sending a "download_progress"
// event per piece written for item `index` of `total`, named `name`.
// Redirects are vetted against the server of `server_base_url`.
// Returns true on success; on failure the file has been deleted and *error
// says why.
bool download_file(const std::string& url, const std::string& server_base_url, NewFile* file,
                   int index, int total, const std::string& name, const EventSink& send,
                   std::string* error);

}  // namespace halvex
