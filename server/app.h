// The server's HTTP side without the network: the dashboard, the pairing
// page, the admin API and the agents' upload endpoints (through Uploads),
// as one function from a parsed request to a response. The network layer
// parses requests, calls handle(), and for a long-poll waits on the Hub
// before it calls handle() once more.
//
// Threads: handle() may run on several threads at once; all shared state is
// in the Hub, the Store and the Throttle. It may block for a password check
// (tens of ms), so the network layer calls it off its I/O threads.

#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "server/hub.h"
#include "server/throttle.h"

namespace halvex::server {

struct HttpRequest {
  std::string method;         // "GET", "POST", ...
  std::string target;         // path and query, as sent
  std::string authorization;  // the Authorization header, as sent
  std::string content_type;
  std::string body;
  bool no_wait = false;       // set by the network layer on the second call of a long-poll
  std::string body_file = {};  // when set, the body is in this file (a large upload) and `body` is empty
  std::string peer = {};       // the client's address, as the network layer saw it
};

struct HttpResponse {
  int status = 200;
  std::string content_type = "text/html; charset=utf-8";
  std::string body;
  // Long-poll: when not empty, nothing was there yet. The caller waits up to
  // wait_seconds for an event of this machine (Hub::add_waiter), then calls
  // handle() again with no_wait set.
  std::string wait_machine;
  int wait_seconds = 0;
  // Throttling: the caller holds the answer back this long (a wrong
  // password), and sends Retry-After when retry_after is set.
  int64_t delay_ms = 0;
  int retry_after = 0;
};

// Longest wait of an events request.
constexpr int kMaxLongPollSeconds = 25;
// Most events in one answer.
constexpr int kMaxEventsPerReply = 500;
// Payload bytes in one events answer unless the request's "max_bytes" asks
// for another budget (at most kMaxEventPageBytes). One event larger than
// the budget comes alone, whole.
constexpr uint64_t kDefaultEventPageBytes = 4u << 20;
constexpr uint64_t kMaxEventPageBytes = 64u << 20;

class Uploads;

class App {
 public:
  // Without `uploads` the upload endpoints and their admin API answer 404.
  App(Hub& hub, std::string admin_token, Uploads* uploads = nullptr)
      : hub_(hub), admin_token_(std::move(admin_token)), uploads_(uploads) {}
  HttpResponse handle(const HttpRequest& req);
  // Called by the network layer on a request's head, before any of its body
  // is read: the answer when the head alone decides it (an upload with a
  // bad token or method), else nullopt. Only a head that passes here gets
  // its path's large body limit.
  std::optional<HttpResponse> check_head(std::string_view method, std::string_view target);

 private:
  HttpResponse api(const HttpRequest& req, std::string_view path, std::string_view query);
  HttpResponse dashboard();
  HttpResponse link_page(const HttpRequest& req, std::string_view query);
  bool authorized(const HttpRequest& req) const;
  // Checks the pairing form's password with the same work whether or not
  // the user exists; the user when it matches.
  std::optional<User> login(const std::string& username, const std::string& password);

  Hub& hub_;
  Throttle throttle_;  // wrong passwords per user and per address; unknown codes per address
  std::once_flag dummy_once_;
  std::string dummy_hash_;  // hashed once, checked for unknown user names
  const std::string admin_token_;
  Uploads* const uploads_;
};

}  // namespace halvex::server
