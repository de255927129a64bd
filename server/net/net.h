// The server's network side, the only code that touches Boost.Beast: the
// TLS listener that serves HTTPS pages and the admin API, and upgrades "/ws"
// to the agents' WebSocket (serve), and the small HTTPS client that the
// command-line tools use to call the admin API (https_request). serve() is
// built from server/net/ (listener, HTTP session, responder, long-poll,
// WebSocket session); https_request() lives in client.cc.
//
// Threads: serve() blocks the calling thread until SIGINT or SIGTERM and
// runs its I/O on a few internal threads; each connection's handlers run one
// at a time. https_request() runs its own I/O on the calling thread.

#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "server/admin/app.h"
#include "server/hub/hub.h"

namespace halvex::server {

// Defaults of the connection caps: room for a few hundred agents behind one
// address (an office's NAT) and a few thousand in all.
constexpr int kDefaultMaxConnections = 4000;
constexpr int kDefaultMaxPerAddress = 500;
// Bytes of upload bodies held in memory at once (body_budget.h says what
// happens to those that do not fit).
constexpr uint64_t kDefaultBodyMemory = 128 * 1024 * 1024;
// Largest WebSocket message before the connection has authenticated.
constexpr size_t kMaxPreAuthMessage = 64 * 1024;
// Time a WebSocket has to authenticate (or to hand in a pairing request).
constexpr std::chrono::seconds kAuthDeadline{10};

struct ServeOptions {
  std::string cert_file;    // PEM chain
  std::string key_file;     // PEM key
  std::string host;         // address to bind, e.g. "127.0.0.1" or "::"
  uint16_t port = 8443;     // 0: an ephemeral port
  std::string listen_file;  // receives "ADDR:PORT" once listening
  int threads = 2;
  std::string files_dir;  // served read-only at /files/ (empty: not served)
  std::string spool_dir;  // holds large upload bodies while they are handled
  // Open connections (HTTP and WebSocket) in all and per client address;
  // a connection over either is closed as soon as it is accepted.
  int max_connections = kDefaultMaxConnections;
  int max_per_address = kDefaultMaxPerAddress;
  uint64_t body_memory = kDefaultBodyMemory;
};

// Serves until SIGINT or SIGTERM, then closes every WebSocket with status
// 1000, ends the other connections, and returns true. Returns false with
// *error set when it cannot start (certificate, bind, listen file).
bool serve(const ServeOptions& options, App& app, Hub& hub, std::string* error);

struct ClientRequest {
  std::string host;  // address or name to connect to and to verify
  uint16_t port = 0;
  std::string ca_file;  // the only CA trusted
  std::string method = "GET";
  std::string target;
  std::string authorization;
  std::string content_type;
  std::string body;
  int timeout_seconds = 30;  // for the whole exchange
  std::string cookie = {};   // the Cookie header, when not empty
  std::vector<std::pair<std::string, std::string>> headers = {};  // more headers, sent as they are
};

struct ClientReply {
  int status = 0;
  std::string content_type;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers = {};  // every header, in order, as sent
};

// One request on a fresh TLS connection; the server's certificate must chain
// to ca_file and name `host`. On failure returns nullopt and sets *error.
std::optional<ClientReply> https_request(const ClientRequest& request, std::string* error);

}  // namespace halvex::server
