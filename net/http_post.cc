// http_post on top of platform/http.h: time limits and reply handling.

#include "net/http_post.h"

#include <algorithm>

#include "core/util.h"
#include "core/version.h"
#include "platform/http.h"

namespace halvex {
namespace {

constexpr size_t kErrorCapacity = 512;  // error texts keep 511 bytes

std::string status_text(long status) { return std::to_string(status); }

// The connect limit of a post grows with the body: a second per 32 KiB on a
// base of 60 s, within 30 s to 10 min (a 4 MiB chunk gets 188 s). Computed
// in 64 bits, so no body size can wrap it to a short limit.
long post_connect_ms(uint64_t body_length) {
  if (body_length == 0) return 30000;
  uint64_t ms = body_length / 32768 * 1000 + 60000;
  return static_cast<long>(std::clamp<uint64_t>(ms, 30000, 600000));
}

// The transport's failures read as the texts the server's operators know
// from the Windows agent, with the transport's code as the number.
std::string transport_error(const HttpReply& reply) {
  std::string code = std::to_string(reply.failure_code);
  switch (reply.failure) {
    case HttpFailure::kUrl:
      return "Invalid URL";
    case HttpFailure::kReceive:
      return "WinHttpReceiveResponse failed (" + code + ")";
    default:
      return "WinHttpSendRequest failed (" + code + ")";
  }
}

}  // namespace

std::string_view http_reply_text(const std::string& body) {
  return std::string_view(body).substr(0, body.find('\0'));
}

HttpPostResult http_post_result(const std::string& url, const void* body, uint64_t body_length,
                                const std::string& content_type) {
  HttpPostResult result;
  HttpTimeouts timeouts;
  timeouts.resolve_ms = 30000;
  timeouts.connect_ms = post_connect_ms(body_length);
  timeouts.send_ms = 600000;
  timeouts.receive_ms = 600000;
  HttpReply reply;
  std::string error;
  if (!http_request("POST", url, kUserAgent, body, body_length, content_type, timeouts,
                    kHttpReplyCap, &reply, &error)) {
    result.error = transport_error(reply);
    return result;
  }
  result.status = reply.status;
  std::string_view text = http_reply_text(reply.body);
  if (reply.status > 399) {
    result.error = "HTTP " + status_text(reply.status) + ": " + std::string(text);
    return result;
  }
  result.reply = json_parse(text);
  if (!result.reply)
    result.error = "Invalid JSON response (HTTP " + status_text(reply.status) + ")";
  return result;
}

Json http_post(const std::string& url, const void* body, uint64_t body_length,
               const std::string& content_type, std::string* error) {
  HttpPostResult r = http_post_result(url, body, body_length, content_type);
  if (!r.reply && error != nullptr) *error = text_cut(r.error, kErrorCapacity);
  return std::move(r.reply);
}

}  // namespace halvex
