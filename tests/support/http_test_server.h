// A scriptable HTTPS/1.1 server on 127.0.0.1 for client tests. It records
// every request and answers from a script: replies are used in the order
// they were pushed, then the default reply. A reply may be delayed, cut
// part-way through its body, or replaced by dropping the connection.
//
// Threads: one accept thread and one thread per connection, all started by
// start() and joined by stop(). Every public method may be called from any
// thread. Requests on one connection are served in order; keep-alive is
// honoured unless a reply ends its connection.
//
// Beast, Asio and OpenSSL stay in the .cc file.

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace halvex::testing {

class HttpTestServer {
 public:
  struct Request {
    int conn = 0;  // accepted connection number, from 1
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;  // as received
    std::string body;

    // The value of the first header named `name` (any case), or "".
    std::string header(const std::string& name) const;
  };

  struct Reply {
    // How the end of the body is marked.
    enum class Framing {
      kLength,   // Content-Length
      kChunked,  // Transfer-Encoding: chunked
      kClose,    // neither; the body ends with the connection (TLS close_notify)
    };
    int status = 200;
    std::string body = "{}";
    std::string content_type = "application/json";
    std::string location;  // a Location header when not empty
    Framing framing = Framing::kLength;
    bool drop = false;  // read the request, then cut the connection unanswered
    // Send only this many body bytes (headers as for the whole body), then
    // cut the connection without TLS close_notify.
    size_t cut_after = SIZE_MAX;
    int delay_ms = 0;  // wait before answering (stop() ends the wait)

    // A JSON answer with this status and body.
    static Reply of(int status, std::string body) {
      Reply r;
      r.status = status;
      r.body = std::move(body);
      return r;
    }
    // No answer: the connection is cut once the request is read.
    static Reply dropped() {
      Reply r;
      r.drop = true;
      return r;
    }
  };

  // cert_path/key_path: PEM server certificate and key (make_test_pki()).
  HttpTestServer(std::string cert_path, std::string key_path);
  ~HttpTestServer();  // stop()

  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  // Listens on 127.0.0.1 on an ephemeral port. On failure returns false with
  // *error (when not null) "context: cause" and leaves nothing running.
  bool start(std::string* error);

  // Cuts every connection and joins all threads. Safe to call twice.
  void stop();

  uint16_t port() const;
  // "https://127.0.0.1:<port>" followed by `target`.
  std::string url(const std::string& target = "") const;

  void push(Reply reply);         // appends to the script
  void set_default(Reply reply);  // used when the script is empty
  std::vector<Request> requests() const;
  int connections() const;  // TCP connections accepted so far

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace halvex::testing
