// What downloads and the update share: how they send events, where the
// server's base URL comes from, and one GET of a URL into a new file.
//
// transfer_fetch runs on the calling (job or worker) thread and blocks
// until the transfer ends. The file it writes belongs to the caller.

#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "core/json.h"
#include "link/proto.h"
#include "platform/http.h"
#include "platform/new_file.h"

namespace halvex {

// How a job sends its events: send_event in the agent, a recorder in tests.
using EventSink = std::function<void(const char* name, Json data)>;

struct FetchHooks {
  // Asked before each received piece is taken; true stops the transfer.
  std::function<bool()> cancelled;
  // After each buffer's worth has been written: bytes received so far and
  // the Content-Length (0 when the server sent none).
  std::function<void(uint64_t received, uint64_t content_length)> written;
  // Redirects followed before the reply that counts (the installer fetch
  // follows none). Each hop must pass transfer_redirect_target() against
  // `server_base_url`.
  int max_redirects = 0;
  std::string server_base_url;
};

// GETs `url` into `file` (created, empty), writing in pieces of
// `buffer_bytes` (the last piece may be shorter). Returns true when a 2xx
// reply's whole body is in the file and the file is closed. Otherwise the
// file is deleted (nothing of an error page or a cut transfer stays behind)
// and *error says why: "HTTP status N", "cancelled", a write failure, a
// refused redirect, or the HTTP layer's text.
bool transfer_fetch(const std::string& url, const HttpTimeouts& timeouts, size_t buffer_bytes,
                    NewFile* file, const FetchHooks& hooks, std::string* error);

}  // namespace halvex
