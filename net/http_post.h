// One HTTPS POST of a ready-made body with a JSON reply: the request every
// upload of the agent makes (image chunks, scan chunks, thumbnails). It sets
// the time limits, reads at most kHttpReplyCap bytes of the reply and turns
// the transport's failures into the texts the server's operators know.
//
// Threads: any; no state is kept between calls, and several may run at
// once. Each call blocks its thread for the whole exchange.
//
// Errors: texts of HTTP failures begin with "HTTP " and the status.

#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/json.h"

namespace halvex {

constexpr uint64_t kHttpReplyCap = 4095;  // bytes of a reply that are read

// What one POST came back with: the parsed reply, or null with `error` set.
// `status` is the HTTP status, 0 when none was received.
struct HttpPostResult {
  Json reply;
  long status = 0;
  std::string error;
};

// POSTs `body` to `url` with `content_type`. The reply counts when the
// status is below 400 and the reply is JSON; otherwise `error` is "Invalid
// URL", "HTTP <status>: <reply text>", "Invalid JSON response (HTTP
// <status>)" or a transport error text, whole (callers that add to it cut
// the sum).
HttpPostResult http_post_result(const std::string& url, const void* body, uint64_t body_length,
                                const std::string& content_type);

// http_post_result's reply; null on failure, with *error set (at most 511
// bytes) when `error` is not null.
Json http_post(const std::string& url, const void* body, uint64_t body_length,
               const std::string& content_type, std::string* error);

// A reply body as text: like a C string, it ends at its first NUL.
std::string_view http_reply_text(const std::string& body);

}  // namespace halvex
