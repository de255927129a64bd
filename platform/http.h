// HTTP(S) requests, the only place that knows libcurl (Linux) or WinHTTP
// (Windows, where the result codes below are WinHTTP's). Uploads (chunk,
// scan and thumbnail posts), the chunk status query and file downloads all
// go through here.
//
// Every request verifies the server's certificate (against the anchors of
// platform/tls.h, the same as the WebSocket link's) and its host name, speaks only
// http and https (also across redirects, which only a streamed GET that
// asks for it follows, each hop vetted by its caller), sends the
// caller's user agent (the agent passes kUserAgent; platform code knows no
// product constants) and uses libcurl's proxy settings from the environment.
// Each calling thread keeps one connection cache of its own, so consecutive
// requests of one thread to the same server reuse the connection; threads
// never share a handle.
//
// Threads: any thread; calls block until the exchange ends or a time limit
// runs out. A request made from inside a callback of http_get_stream works
// but gets a fresh connection.

#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace halvex {

// Time limits of one request, in milliseconds; 0 leaves a limit out.
// Name resolution, TCP connect and the TLS handshake share one limit of
// resolve_ms + connect_ms (libcurl cannot bound resolution alone); when
// either is 0 that limit is libcurl's default of 300 s.
// `send_ms` and `receive_ms` bound a stall: the request fails when no byte
// moves in that direction for that long. The receive clock starts when the
// whole request has been sent, so it also bounds the wait for the reply.
struct HttpTimeouts {
  long resolve_ms = 30000;
  long connect_ms = 30000;
  long send_ms = 600000;
  long receive_ms = 600000;
};

// Where a failed http_request stopped.
enum class HttpFailure {
  kNone,     // no failure
  kUrl,      // the URL is not an http(s) URL with a host; nothing was sent
  kSend,     // before the whole request went out: resolve, connect, TLS, send
  kReceive,  // while waiting for or reading the reply
};

// What came back. `status` is 0 when no status line was received.
struct HttpReply {
  long status = 0;
  std::string body;  // at most the reply cap given to http_request
  // Set when http_request returns false: the stage, and libcurl's result
  // code (CURLE_*, 0 for kUrl) so callers can word their own error texts.
  HttpFailure failure = HttpFailure::kNone;
  int failure_code = 0;
};

// One request with an in-memory body. `method` is "GET" (no body is sent)
// or "POST" (body_length bytes at `body`, with a Content-Type header of
// content_type unless it is empty). Reads at most `max_reply_bytes` of the
// reply body; when the reply is longer the transfer is abandoned there (the
// connection is then closed rather than kept) and the request still counts
// as answered.
// Returns true when a reply was received, whatever its status, with *reply
// filled. Returns false when the URL is not usable ("Invalid URL"), the
// method is neither GET nor POST, or the exchange failed, with *error set to
// "<stage> failed (<code>): <cause>" and reply->failure saying where
// (reply->status may still be set when the failure came after the headers).
// A body cut short counts as a failure, also one that only the end of the
// connection delimits when TLS ended without close_notify.
bool http_request(const std::string& method, const std::string& url, const std::string& user_agent,
                  const void* body, uint64_t body_length, const std::string& content_type,
                  const HttpTimeouts& timeouts, uint64_t max_reply_bytes, HttpReply* reply,
                  std::string* error);

// Callbacks of a streamed GET. on_start runs once, after the headers, with
// the status and the Content-Length (-1 when absent); on_data runs for each
// piece of the body as it arrives. Either returning false aborts the
// transfer (http_get_stream then returns false with *error "aborted").
//
// Redirects: with max_redirects above 0, a reply with status 301, 302, 303,
// 307 or 308 and a Location is not handed to on_start. Its target, made
// absolute, goes to on_redirect together with the URL that was requested;
// it returns the URL to request next, or nothing to refuse the hop, which
// then fails the GET ("redirect to <target> refused") before any
// connection to the target. The redirect's body is not read. Following
// more than max_redirects fails with "too many redirects". With 0 (the
// default) a redirect is a reply like any other.
struct HttpStreamCallbacks {
  std::function<bool(long status, int64_t content_length)> on_start;
  std::function<bool(const uint8_t* data, size_t length)> on_data;
  int max_redirects = 0;
  std::function<std::optional<std::string>(const std::string& from, const std::string& target)>
      on_redirect;
};

// A GET whose body is handed over piece by piece, never held whole. Returns
// true when the whole body arrived (and matched its Content-Length, when
// one was sent); false with *error otherwise, including a transfer cut
// part-way, a reply that ends without TLS close_notify where only the end of
// the connection marks the end of the body, and an invalid URL.
bool http_get_stream(const std::string& url, const std::string& user_agent,
                     const HttpTimeouts& timeouts, const HttpStreamCallbacks& callbacks,
                     std::string* error);

}  // namespace halvex
