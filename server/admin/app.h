// The server's HTTP side without the network: the console, the pairing
// page, the admin API and the agents' upload endpoints (through Uploads),
// as one function from a parsed request to a response. The console and
// every other operator page need a session of the login page (Sessions);
// the files folder needs a session or a job's file token. The network layer
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
#include <vector>

#include "core/json.h"
#include "server/hub/hub.h"
#include "server/admin/sessions.h"
#include "server/admin/throttle.h"
#include "server/http/web.h"

namespace halvex::server {

struct HttpRequest {
  std::string method;         // "GET", "POST", ...
  std::string target;         // path and query, as sent
  std::string authorization;  // the Authorization header, as sent
  std::string content_type;
  std::string body;
  bool no_wait = false;  // set by the network layer on the second call of a long-poll
  std::string body_file =
      {};                 // when set, the body is in this file (a large upload) and `body` is empty
  std::string peer = {};  // the client's address, as the network layer saw it
  std::string cookie = {};  // the Cookie header, as sent
  std::string csrf = {};    // the X-CSRF-Token header, as sent (the console's API calls)
  std::string range = {};   // the Range header, as sent
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
  // Server push (text/event-stream): the body is the stream's first
  // event. The caller keeps the connection open, and whenever the machine
  // list changes (Hub::add_waiter with kMachineListWaiter) calls handle()
  // again with no_wait set and sends that answer's body as the next event,
  // for as long as the answer is still a push (a session that ends, ends
  // the stream).
  bool push = false;
  // Throttling: the caller holds the answer back this long (a wrong
  // password), and sends Retry-After when retry_after is set.
  int64_t delay_ms = 0;
  int retry_after = 0;
  std::string location = {};                  // sent as Location when not empty (a redirect)
  std::vector<std::string> set_cookies = {};  // one Set-Cookie header each
  std::string csp =
      {};  // the Content-Security-Policy when not empty, else the network layer's strict default
  // When set, the body is this file's bytes [file_offset, file_offset +
  // file_length) (the network layer streams them; `body` is unused), and
  // content_range is sent as Content-Range when not empty.
  std::string file_path = {};
  uint64_t file_offset = 0;
  uint64_t file_length = 0;
  std::string content_range = {};
};

// Longest wait of an events request.
constexpr int kMaxLongPollSeconds = 25;
// Most events in one answer.
constexpr int kMaxEventsPerReply = 500;
// How long a job's file token opens its files, and most files per token.
constexpr int64_t kFileTokenSeconds = 24 * 60 * 60;
constexpr int kMaxFilesPerToken = 1000;
// The cookies of an operator session and of the login form.
constexpr std::string_view kSessionCookie = "__Host-halvex_session";
constexpr std::string_view kLoginCookie = "__Host-halvex_login";
// Payload bytes in one events answer unless the request's "max_bytes" asks
// for another budget (at most kMaxEventPageBytes). One event larger than
// the budget comes alone, whole.
constexpr uint64_t kDefaultEventPageBytes = 4u << 20;
constexpr uint64_t kMaxEventPageBytes = 64u << 20;

class Uploads;
struct RouteCall;

class App {
 public:
  // Without `uploads` the upload endpoints and their admin API answer 404.
  App(Hub& hub, std::string admin_token, Uploads* uploads = nullptr)
      : hub_(hub),
        sessions_([&hub] { return hub.now(); }),
        admin_token_(std::move(admin_token)),
        uploads_(uploads) {}
  // Finds the request's route (server/admin/routes.h), checks what the
  // route asks of its caller, and runs it.
  HttpResponse handle(const HttpRequest& req);
  // Called by the network layer on a request's head, before any of its body
  // is read: the answer when the head alone decides it (an upload with a
  // bad token or method), else nullopt. Only a head that passes here gets
  // its path's large body limit.
  std::optional<HttpResponse> check_head(std::string_view method, std::string_view target);
  // Called by the network layer before it serves a file of the files
  // folder: nullopt when the request has an operator session or a token
  // ("token" in the query) that the file's job was given, else the refusal
  // (403). Cheap enough for an I/O thread: no password work.
  std::optional<HttpResponse> check_files(std::string_view target, std::string_view cookie);

 private:
  friend struct AppRoutes;
  // The routes' handlers (the table is in app.cc).
  HttpResponse upload(const RouteCall& c);
  HttpResponse root(const RouteCall& c);
  HttpResponse api_machines(const RouteCall& c);
  Json machines_json();  // {"machines": [...]}, for the API and the console's push
  HttpResponse api_events(const RouteCall& c);
  HttpResponse api_post(const RouteCall& c);  // send, approve, revoke
  HttpResponse api_uploads(const RouteCall& c);
  HttpResponse api_unknown(const RouteCall& c);
  HttpResponse console(const RouteCall& c);  // server/admin/console.cc
  HttpResponse link_route(const RouteCall& c);
  HttpResponse login_route(const RouteCall& c);
  HttpResponse logout_route(const RouteCall& c);
  HttpResponse file_tokens(const RouteCall& c);
  HttpResponse link_page(const HttpRequest& req, std::string_view query);
  bool authorized(const HttpRequest& req) const;
  // The operator pages (app_access.cc): login and logout, and the session
  // of a request, for a POST only with the form's CSRF token.
  HttpResponse login_page(const HttpRequest& req);
  HttpResponse logout(const HttpRequest& req);
  std::optional<OperatorSession> session_of(const HttpRequest& req);
  std::optional<OperatorSession> session_for_post(const HttpRequest& req, const Params& form);
  HttpResponse add_file_token(const HttpRequest& req);
  // Wrong passwords are counted per user name and per client address. An
  // attempt is counted as wrong when it starts, so guesses sent side by
  // side are held to the same count as guesses sent one after another:
  // password_attempt returns how long the attempt must wait (0: go ahead,
  // *delay_ms then says how long to hold back a wrong answer); a success
  // clears the name's count and takes the address's count back.
  int64_t password_attempt(const std::string& username, const std::string& peer, int64_t* delay_ms);
  void password_ok(const std::string& username, const std::string& peer);
  // Checks the pairing form's password with the same work whether or not
  // the user exists; the user when it matches.
  std::optional<User> login(const std::string& username, const std::string& password);

  Hub& hub_;
  Sessions sessions_;
  Throttle throttle_;  // wrong passwords per user and per address; unknown codes per address
  std::once_flag dummy_once_;
  std::string dummy_hash_;  // hashed once, checked for unknown user names
  const std::string admin_token_;
  Uploads* const uploads_;
};

}  // namespace halvex::server
