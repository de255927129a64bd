#include "server/net.h"

#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <signal.h>
#include <stdio.h>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <list>
#include <map>
#include <mutex>
#include <thread>

#include "core/log.h"
#include "server/files.h"
#include "server/uploads.h"

namespace halvex::server {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using error_code = beast::error_code;
using Stream = beast::ssl_stream<beast::tcp_stream>;

constexpr std::chrono::seconds kHandshakeTimeout{10};
constexpr std::chrono::seconds kRequestTimeout{30};
constexpr std::chrono::seconds kWsIdleTimeout{70};  // agents beat every 20 s
// Reading an upload's body may take long on a slow link.
constexpr std::chrono::seconds kUploadTimeout{600};
constexpr size_t kReadPiece = 16 * 1024;
constexpr std::chrono::seconds kShutdownGrace{3};
// Threads that run the App: each password check holds 64 MiB while it runs.
constexpr int kWorkers = 4;

std::string errtext(const std::string& context, const error_code& ec) { return context + ": " + ec.message(); }

// Everything connections share.
struct Server {
  App& app;
  Hub& hub;

  // Open HTTP connections, so shutdown can end them (WebSockets are closed
  // through the Hub). Above ioc, so they outlive it: handlers still queued
  // when the server stops are destroyed with ioc, and the sessions they
  // hold unregister here as they go.
  std::mutex mu;
  std::condition_variable cv;
  std::list<std::function<void()>> http_closers;
  int live_sockets = 0;
  std::map<std::string, int> per_address;  // live connections by client address
  int max_connections = kDefaultMaxConnections;
  int max_per_address = kDefaultMaxPerAddress;
  int64_t cap_logged_at = 0;  // steady seconds of the last "connection cap" line

  ssl::context tls{ssl::context::tls_server};  // outlives the sessions too

  asio::io_context ioc;
  tcp::acceptor acceptor{ioc};
  std::atomic<bool> stopping{false};
  std::string files_dir;  // see ServeOptions
  std::string spool_dir;  // see ServeOptions
  std::atomic<uint64_t> spooled{0};  // names spool files

  // The accept loop, paused while the process is out of descriptors.
  asio::steady_timer accept_pause{ioc};
  bool accept_failing = false;  // logged once until an accept succeeds

  // Runs App::handle, which may block; last, so it is joined (and its
  // sessions released) before anything above goes.
  asio::thread_pool workers{kWorkers};

  Server(App& a, Hub& h) : app(a), hub(h) {}
};

// Counts a live connection for shutdown and for the caps.
struct LiveToken {
  LiveToken(Server* s, std::string addr) : server(s), address(std::move(addr)) {
    std::lock_guard<std::mutex> lock(s->mu);
    s->live_sockets++;
    s->per_address[address]++;
  }
  ~LiveToken() {
    {
      std::lock_guard<std::mutex> lock(server->mu);
      server->live_sockets--;
      auto it = server->per_address.find(address);
      if (it != server->per_address.end() && --it->second <= 0) server->per_address.erase(it);
    }
    server->cv.notify_all();
  }
  Server* server;
  std::string address;
};

// Whether one more connection from `address` fits under the caps. Logs a
// refusal at most every 10 s, so a flood cannot fill the log.
bool admit(Server* s, const std::string& address) {
  std::lock_guard<std::mutex> lock(s->mu);
  auto it = s->per_address.find(address);
  int from_address = it == s->per_address.end() ? 0 : it->second;
  if (s->live_sockets < s->max_connections && from_address < s->max_per_address) return true;
  int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                    std::chrono::steady_clock::now().time_since_epoch()).count();
  if (now - s->cap_logged_at >= 10) {
    s->cap_logged_at = now;
    log_msg(LOG_WARN, "server: connection cap reached (%d open, %d from %s); refusing new connections",
            s->live_sockets, from_address, address.c_str());
  }
  return false;
}

class WsSession;

// The Hub's handle on one WebSocket: hands every call to the session's
// strand, so the Hub never waits on the network.
class WsSink : public ConnectionSink {
 public:
  WsSink(std::weak_ptr<WsSession> s, asio::any_io_executor strand)
      : session_(std::move(s)), strand_(std::move(strand)) {}
  void send_text(std::string text) override;
  void close() override;

 private:
  std::weak_ptr<WsSession> session_;
  asio::any_io_executor strand_;  // the session's strand
};

class WsSession : public std::enable_shared_from_this<WsSession> {
 public:
  WsSession(Server* server, Stream&& stream, std::unique_ptr<LiveToken> live)
      : server_(server), ws_(std::move(stream)), auth_timer_(ws_.get_executor()), live_(std::move(live)) {}

  void start(http::request<http::string_body> req) {
    websocket::stream_base::timeout t;
    t.handshake_timeout = kHandshakeTimeout;
    t.idle_timeout = kWsIdleTimeout;
    t.keep_alive_pings = true;
    ws_.set_option(t);
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& res) { res.set(http::field::server, "halvex-recovery-server"); }));
    ws_.read_message_max(0);  // we count ourselves and discard, piece by piece
    ws_.async_accept(req, [self = shared_from_this()](const error_code& ec) { self->on_accept(ec); });
  }

  void queue_text(std::string text) {
    if (closing_ || gone_) return;
    queue_.push_back(std::move(text));
    if (!writing_) write_next();
  }

  void queue_close() {
    if (closing_ || gone_) return;
    closing_ = true;
    if (!writing_) write_next();
  }

 private:
  void on_accept(const error_code& ec) {
    if (ec) return;
    id_ = server_->hub.open(std::make_shared<WsSink>(weak_from_this(), ws_.get_executor()), live_->address);
    if (server_->stopping) queue_close();
    opened_ = std::chrono::steady_clock::now();
    arm_auth_deadline();
    do_read();
  }

  // A connection must authenticate within kAuthDeadline. One that handed in
  // a pairing request waits for its user, but no longer than a code lives.
  void arm_auth_deadline() {
    auth_timer_.expires_after(kAuthDeadline);
    auth_timer_.async_wait([self = shared_from_this()](const error_code& ec) {
      if (ec || self->gone_) return;
      Hub::ConnState st = self->server_->hub.state(self->id_);
      if (st.authenticated) {
        self->authenticated_ = true;
        return;
      }
      auto age = std::chrono::steady_clock::now() - self->opened_;
      if (st.pairing && age < std::chrono::seconds(kPairCodeLifetime) + kAuthDeadline) {
        self->arm_auth_deadline();
        return;
      }
      log_msg(LOG_INFO, "ws: connection %llu: not authenticated in time, closed",
              static_cast<unsigned long long>(self->id_));
      self->drop();
    });
  }

  // Ends the connection at once, without a closing handshake: for clients
  // that broke the rules, who may not read a close frame.
  void drop() {
    error_code ignored;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(ws_).close();
  }

  void do_read() {
    ws_.async_read_some(buf_.prepare(kReadPiece), [self = shared_from_this()](const error_code& ec, size_t n) {
      self->on_read(ec, n);
    });
  }

  void on_read(const error_code& ec, size_t n) {
    if (ec) {
      gone_ = true;
      auth_timer_.cancel();
      server_->hub.on_close(id_);
      return;
    }
    buf_.commit(n);
    message_bytes_ += n;
    // An operator's approval of the connection's pairing code authenticates
    // it between messages, so ask before refusing.
    if (!authenticated_ && message_bytes_ > kMaxPreAuthMessage) authenticated_ = server_->hub.state(id_).authenticated;
    if (!authenticated_ && message_bytes_ > kMaxPreAuthMessage) {
      // Nothing large is taken from a client that has not proved who it is.
      log_msg(LOG_WARN, "ws: connection %llu: message over %zu bytes before authentication, closed",
              static_cast<unsigned long long>(id_), kMaxPreAuthMessage);
      buf_.consume(buf_.size());
      drop();
      do_read();  // sees the closed socket and ends the session
      return;
    }
    if (message_bytes_ > kMaxAgentMessage) {
      if (!discarding_) log_msg(LOG_WARN, "ws: connection %llu: message over %zu bytes dropped",
                                static_cast<unsigned long long>(id_), kMaxAgentMessage);
      discarding_ = true;
      buf_.consume(buf_.size());
    }
    if (ws_.is_message_done()) {
      if (!discarding_ && ws_.got_text()) {
        std::string text = beast::buffers_to_string(buf_.data());
        server_->hub.on_message(id_, text);
        if (!authenticated_) authenticated_ = server_->hub.state(id_).authenticated;
      }
      buf_.consume(buf_.size());
      message_bytes_ = 0;
      discarding_ = false;
    }
    do_read();
  }

  void write_next() {
    if (gone_) return;
    if (!queue_.empty()) {
      writing_ = true;
      ws_.text(true);
      ws_.async_write(asio::buffer(queue_.front()), [self = shared_from_this()](const error_code& ec, size_t) {
        self->writing_ = false;
        if (ec) {
          self->queue_.clear();
          return;  // the read side sees the failure too
        }
        self->queue_.pop_front();
        self->write_next();
      });
      return;
    }
    if (closing_ && !close_sent_) {
      close_sent_ = true;
      writing_ = true;
      ws_.async_close(websocket::close_code::normal, [self = shared_from_this()](const error_code&) {
        self->writing_ = false;
      });
    }
  }

  Server* server_;
  websocket::stream<Stream> ws_;
  asio::steady_timer auth_timer_;
  std::unique_ptr<LiveToken> live_;
  beast::flat_buffer buf_;
  Hub::ConnId id_ = 0;
  bool authenticated_ = false;  // lifts the pre-authentication message limit
  std::chrono::steady_clock::time_point opened_;
  size_t message_bytes_ = 0;
  bool discarding_ = false;
  std::deque<std::string> queue_;
  bool writing_ = false, closing_ = false, close_sent_ = false, gone_ = false;
};

void WsSink::send_text(std::string text) {
  asio::post(strand_, [w = session_, text = std::move(text)]() mutable {
    if (auto s = w.lock()) s->queue_text(std::move(text));
  });
}

void WsSink::close() {
  asio::post(strand_, [w = session_] {
    if (auto s = w.lock()) s->queue_close();
  });
}

// Every answer's headers that keep browsers from caching it, guessing its
// type, framing it, or running anything it holds.
template <class Body>
void set_safety_headers(http::response<Body>& out) {
  out.set(http::field::cache_control, "no-store");
  out.set("X-Content-Type-Options", "nosniff");
  out.set("X-Frame-Options", "DENY");
  out.set("Content-Security-Policy", "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'");
}

// One TLS connection serving HTTP requests until it upgrades or ends.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(Server* server, tcp::socket&& socket, std::string address)
      : server_(server), stream_(std::move(socket), server->tls), timer_(stream_.get_executor()),
        live_(std::make_unique<LiveToken>(server, address)), peer_(std::move(address)) {}

  void start() {
    {
      std::lock_guard<std::mutex> lock(server_->mu);
      auto ex = stream_.get_executor();
      closer_ = server_->http_closers.insert(server_->http_closers.end(), [w = weak_from_this(), ex] {
        asio::post(ex, [w] {
          if (auto s = w.lock()) s->shut();
        });
      });
      registered_ = true;
    }
    beast::get_lowest_layer(stream_).expires_after(kHandshakeTimeout);
    stream_.async_handshake(ssl::stream_base::server,
                            [self = shared_from_this()](const error_code& ec) { self->on_tls(ec); });
  }

  ~HttpSession() { unregister(); }

 private:
  void unregister() {
    std::lock_guard<std::mutex> lock(server_->mu);
    if (registered_) server_->http_closers.erase(closer_);
    registered_ = false;
  }

  void shut() {
    if (waiting_) {
      timer_.cancel();  // answer the long-poll at once
      return;
    }
    if (!busy_) {
      error_code ec;
      beast::get_lowest_layer(stream_).socket().shutdown(tcp::socket::shutdown_both, ec);
      beast::get_lowest_layer(stream_).close();
    }
  }

  void on_tls(const error_code& ec) {
    if (ec) return;
    do_read();
  }

  // The header first: the path decides how much body may follow and
  // whether it is spooled to a file.
  void do_read() {
    if (server_->stopping) return;
    header_.emplace();
    header_->header_limit(16 * 1024);
    // The header parser already holds Content-Length against its limit:
    // let the largest any path takes through, on_header applies the path's.
    header_->body_limit(kScanBodyLimit);
    beast::get_lowest_layer(stream_).expires_after(kRequestTimeout);
    http::async_read_header(stream_, buf_, *header_,
                            [self = shared_from_this()](const error_code& ec, size_t) { self->on_header(ec); });
  }

  void on_header(const error_code& ec) {
    if (ec) return;  // closed, timed out, or not HTTP: drop the connection
    const auto& h = header_->get();
    version_ = h.version();
    keep_alive_ = h.keep_alive();
    head_ = h.method() == http::verb::head;
    // A bad upload token is answered before a byte of the body is read (or,
    // for a client that sent Expect: 100-continue, asked for).
    beast::string_view method = h.method_string(), target = h.target();
    if (std::optional<HttpResponse> early = server_->app.check_head(std::string_view(method.data(), method.size()),
                                                                    std::string_view(target.data(), target.size()))) {
      keep_alive_ = false;
      return write(std::move(*early));
    }
    BodyPolicy policy = upload_body_policy(split_path(h.target()).first);
    if (header_->content_length() && *header_->content_length() > policy.limit) return refuse_body();
    if (policy.limit > kDefaultBodyLimit) beast::get_lowest_layer(stream_).expires_after(kUploadTimeout);
    // Clients that asked whether to send the body (curl does for large
    // ones) wait a second for this before sending it anyway.
    bool expect = beast::iequals(h[http::field::expect], "100-continue");
    if (policy.spool) {
      spool_path_ = server_->spool_dir + "/body" + std::to_string(server_->spooled++);
      spool_.emplace(std::move(*header_));
      spool_->body_limit(policy.limit);
      error_code fec;
      spool_->get().body().open(spool_path_.c_str(), beast::file_mode::write, fec);
      if (fec) {
        log_msg(LOG_ERROR, "server: spool %s: %s", spool_path_.c_str(), fec.message().c_str());
        return refuse_body(500);
      }
      return read_body(expect, [self = shared_from_this()] {
        http::async_read(self->stream_, self->buf_, *self->spool_,
                         [self](const error_code& e, size_t) { self->on_spooled(e); });
      });
    }
    parser_.emplace(std::move(*header_));
    parser_->body_limit(policy.limit);
    read_body(expect, [self = shared_from_this()] {
      http::async_read(self->stream_, self->buf_, *self->parser_,
                       [self](const error_code& e, size_t) { self->on_request(e); });
    });
  }

  void read_body(bool expect, std::function<void()> read) {
    if (!expect) return read();
    auto cont = std::make_shared<http::response<http::empty_body>>(http::status::continue_, version_);
    http::async_write(stream_, *cont, [cont, read = std::move(read)](const error_code& ec, size_t) {
      if (!ec) read();
    });
  }

  // Answers without reading the body, which leaves the connection unusable.
  void refuse_body(int status = 413) {
    keep_alive_ = false;
    HttpResponse res;
    res.status = status;
    res.content_type = "application/json";
    res.body = status == 413 ? "{\"error\":\"request body too large\"}\n" : "{\"error\":\"cannot store the body\"}\n";
    write(std::move(res));
  }

  void on_spooled(const error_code& ec) {
    http::request<http::file_body> req = spool_->release();
    spool_.reset();
    req.body().close();
    if (ec) {
      std::remove(spool_path_.c_str());
      if (ec == http::error::body_limit) refuse_body();
      return;
    }
    request_.method = std::string(req.method_string());
    request_.target = std::string(req.target());
    request_.authorization = std::string(req[http::field::authorization]);
    request_.content_type = std::string(req[http::field::content_type]);
    request_.cookie = std::string(req[http::field::cookie]);
    request_.csrf = std::string(req["X-CSRF-Token"]);
    request_.range = std::string(req[http::field::range]);
    request_.body.clear();
    request_.body_file = spool_path_;
    request_.no_wait = false;
    run_app();
  }

  void on_request(const error_code& ec) {
    if (ec == http::error::body_limit) return refuse_body();
    if (ec) return;  // closed, timed out, or not HTTP: drop the connection
    http::request<http::string_body> req = parser_->release();
    auto [path, query] = split_path(req.target());
    if (websocket::is_upgrade(req)) {
      if (path != "/ws") {
        send_plain(req, http::status::not_found, "Not found\n");
        return;
      }
      beast::get_lowest_layer(stream_).expires_never();
      unregister();
      auto ws = std::make_shared<WsSession>(server_, std::move(stream_), std::move(live_));
      ws->start(std::move(req));
      return;
    }
    if (!server_->files_dir.empty() && files_is_target(path)) {
      beast::string_view target = req.target(), cookie = req[http::field::cookie];
      std::optional<HttpResponse> refused = server_->app.check_files(std::string_view(target.data(), target.size()),
                                                                     std::string_view(cookie.data(), cookie.size()));
      if (refused) {
        version_ = req.version();
        keep_alive_ = false;
        head_ = req.method() == http::verb::head;
        write(std::move(*refused));
        return;
      }
      write_file(req, path);
      return;
    }
    keep_alive_ = req.keep_alive();
    version_ = req.version();
    head_ = req.method() == http::verb::head;
    request_.method = std::string(req.method_string());
    request_.target = std::string(req.target());
    request_.authorization = std::string(req[http::field::authorization]);
    request_.content_type = std::string(req[http::field::content_type]);
    request_.cookie = std::string(req[http::field::cookie]);
    request_.csrf = std::string(req["X-CSRF-Token"]);
    request_.range = std::string(req[http::field::range]);
    request_.body = std::move(req.body());
    request_.body_file.clear();
    request_.no_wait = false;
    run_app();
  }

  static std::pair<std::string_view, std::string_view> split_path(beast::string_view target) {
    std::string_view t(target.data(), target.size());
    size_t q = t.find('?');
    return q == std::string_view::npos ? std::make_pair(t, std::string_view())
                                       : std::make_pair(t.substr(0, q), t.substr(q + 1));
  }

  // The App may block (password hashing, assembling an image), so it runs
  // on the worker threads; the answer comes back to this session's strand.
  void run_app() {
    busy_ = true;
    request_.peer = peer_;
    asio::post(server_->workers, [self = shared_from_this()] {
      HttpResponse res = self->server_->app.handle(self->request_);
      asio::post(self->stream_.get_executor(),
                 [self, res = std::move(res)]() mutable { self->on_app(std::move(res)); });
    });
  }

  void on_app(HttpResponse res) {
    if (!request_.body_file.empty()) {
      std::remove(request_.body_file.c_str());
      request_.body_file.clear();
    }
    if (!res.wait_machine.empty() && !server_->stopping) {
      // Long-poll: wait for the machine's next event, the deadline, or
      // shutdown, then answer with whatever is there.
      waiting_ = true;
      beast::get_lowest_layer(stream_).expires_never();
      auto ex = stream_.get_executor();
      ticket_ = server_->hub.add_waiter(res.wait_machine, [w = weak_from_this(), ex] {
        asio::post(ex, [w] {
          if (auto s = w.lock()) s->timer_.cancel();
        });
      });
      timer_.expires_after(std::chrono::seconds(res.wait_seconds));
      timer_.async_wait([self = shared_from_this()](const error_code&) {
        self->waiting_ = false;
        self->server_->hub.cancel_waiter(self->ticket_);
        self->request_.no_wait = true;
        self->run_app();
      });
      return;
    }
    if (res.delay_ms > 0 && !server_->stopping) {
      // A throttled answer (a wrong password) is held back; shutdown sends
      // it at once.
      waiting_ = true;
      beast::get_lowest_layer(stream_).expires_never();
      timer_.expires_after(std::chrono::milliseconds(res.delay_ms));
      timer_.async_wait([self = shared_from_this(), res = std::move(res)](const error_code&) mutable {
        self->waiting_ = false;
        self->write(std::move(res));
      });
      return;
    }
    if (!res.file_path.empty()) {
      write_app_file(std::move(res));
      return;
    }
    write(std::move(res));
  }

  // The App's headers that pages other than the default need.
  template <class Body>
  static void set_app_headers(http::response<Body>& out, const HttpResponse& res) {
    if (!res.csp.empty()) out.set("Content-Security-Policy", res.csp);
    if (!res.content_range.empty()) out.set(http::field::content_range, res.content_range);
  }

  // Answers with the bytes [file_offset, file_offset + file_length) of the
  // file the App named: the header, then the bytes in pieces, each piece
  // under the request time limit.
  struct FilePart {
    beast::file file;
    uint64_t left = 0;
    std::vector<char> buf = std::vector<char>(64 * 1024);
  };

  void write_app_file(HttpResponse res) {
    auto part = std::make_shared<FilePart>();
    error_code ec;
    part->file.open(res.file_path.c_str(), beast::file_mode::scan, ec);
    if (!ec) part->file.seek(res.file_offset, ec);
    if (ec) {
      HttpResponse gone;
      gone.status = 404;
      gone.content_type = "text/plain; charset=utf-8";
      gone.body = "Not found\n";
      gone.csp = res.csp;
      write(std::move(gone));
      return;
    }
    part->left = res.file_length;
    auto head = std::make_shared<http::response<http::empty_body>>(static_cast<http::status>(res.status), version_);
    head->set(http::field::server, "halvex-recovery-server");
    head->set(http::field::content_type, res.content_type);
    set_safety_headers(*head);
    set_app_headers(*head, res);
    head->set(http::field::accept_ranges, "bytes");
    head->content_length(res.file_length);
    bool keep = keep_alive_ && !server_->stopping;
    head->keep_alive(keep);
    auto sr = std::make_shared<http::response_serializer<http::empty_body>>(*head);
    beast::get_lowest_layer(stream_).expires_after(kRequestTimeout);
    http::async_write_header(stream_, *sr,
                             [self = shared_from_this(), head, sr, part, keep](const error_code& ec, size_t) {
                               if (ec) {
                                 self->busy_ = false;
                                 return;
                               }
                               if (self->head_) part->left = 0;
                               self->write_file_part(part, keep);
                             });
  }

  void write_file_part(std::shared_ptr<FilePart> part, bool keep) {
    if (part->left == 0) {
      busy_ = false;
      if (keep) do_read();
      else stream_.async_shutdown([self = shared_from_this()](const error_code&) {});
      return;
    }
    error_code ec;
    size_t n = part->file.read(part->buf.data(), std::min<uint64_t>(part->left, part->buf.size()), ec);
    if (ec || n == 0) {  // the file shrank: the answer cannot be completed
      busy_ = false;
      beast::get_lowest_layer(stream_).close();
      return;
    }
    part->left -= n;
    beast::get_lowest_layer(stream_).expires_after(kRequestTimeout);
    asio::async_write(stream_, asio::buffer(part->buf.data(), n),
                      [self = shared_from_this(), part, keep](const error_code& ec, size_t) {
                        if (ec) {
                          self->busy_ = false;
                          return;
                        }
                        self->write_file_part(part, keep);
                      });
  }

  void write(HttpResponse res) {
    auto out = std::make_shared<http::response<http::string_body>>(static_cast<http::status>(res.status), version_);
    out->set(http::field::server, "halvex-recovery-server");
    out->set(http::field::content_type, res.content_type);
    set_safety_headers(*out);
    set_app_headers(*out, res);
    if (!res.location.empty()) out->set(http::field::location, res.location);
    for (const std::string& c : res.set_cookies) out->insert(http::field::set_cookie, c);
    if (res.retry_after > 0) out->set(http::field::retry_after, std::to_string(res.retry_after));
    if (res.status == 401 && res.content_type.find("json") != std::string::npos)
      out->set(http::field::www_authenticate, "Bearer");
    bool keep = keep_alive_ && !server_->stopping;
    out->keep_alive(keep);
    out->body() = std::move(res.body);
    out->prepare_payload();
    if (head_) out->body().clear();  // Content-Length stays that of the page
    beast::get_lowest_layer(stream_).expires_after(kRequestTimeout);
    http::async_write(stream_, *out, [self = shared_from_this(), out, keep](const error_code& ec, size_t) {
      self->busy_ = false;
      if (ec) return;
      if (keep) {
        self->do_read();
      } else {
        self->stream_.async_shutdown([self](const error_code&) {});
      }
    });
  }

  // Answers a /files/ request: the file streamed from disk in pieces (so
  // its size is not bound by memory), each piece under the request time
  // limit, so a slow but moving download is never cut.
  void write_file(const http::request<http::string_body>& req, std::string_view path) {
    beast::string_view method = req.method_string();
    FileServe f = files_open(server_->files_dir, std::string_view(method.data(), method.size()), path);
    if (f.status != 200) {
      send_plain(req, static_cast<http::status>(f.status), f.text.c_str());
      return;
    }
    version_ = req.version();
    keep_alive_ = req.keep_alive();
    bool keep = keep_alive_ && !server_->stopping;
    auto out = std::make_shared<http::response<http::file_body>>(http::status::ok, version_);
    out->set(http::field::server, "halvex-recovery-server");
    out->set(http::field::content_type, "application/octet-stream");
    set_safety_headers(*out);
    out->keep_alive(keep);
    beast::file file;
    file.native_handle(f.fd);  // the file now owns the descriptor
    error_code ec;
    out->body().reset(std::move(file), ec);
    if (ec) {
      send_plain(req, http::status::internal_server_error, "Cannot read the file\n");
      return;
    }
    out->content_length(f.size);
    busy_ = true;
    auto sr = std::make_shared<http::response_serializer<http::file_body>>(*out);
    if (req.method() == http::verb::head) sr->split(true);  // the header only
    write_file_piece(out, sr, req.method() == http::verb::head, keep);
  }

  void write_file_piece(std::shared_ptr<http::response<http::file_body>> out,
                        std::shared_ptr<http::response_serializer<http::file_body>> sr, bool head, bool keep) {
    beast::get_lowest_layer(stream_).expires_after(kRequestTimeout);
    auto done = [self = shared_from_this(), out, sr, head, keep](const error_code& ec, size_t) {
      if (!ec && !(head ? sr->is_header_done() : sr->is_done())) {
        self->write_file_piece(out, sr, head, keep);
        return;
      }
      self->busy_ = false;
      if (ec) return;
      if (keep) self->do_read();
      else self->stream_.async_shutdown([self](const error_code&) {});
    };
    if (head)
      http::async_write_header(stream_, *sr, std::move(done));
    else
      http::async_write_some(stream_, *sr, std::move(done));
  }

  void send_plain(const http::request<http::string_body>& req, http::status status, const char* text) {
    version_ = req.version();
    keep_alive_ = false;
    head_ = false;
    HttpResponse res;
    res.status = static_cast<int>(status);
    res.content_type = "text/plain; charset=utf-8";
    res.body = text;
    write(std::move(res));
  }

  Server* server_;
  Stream stream_;
  asio::steady_timer timer_;
  std::unique_ptr<LiveToken> live_;
  std::string peer_;  // the client's address
  beast::flat_buffer buf_;
  std::optional<http::request_parser<http::empty_body>> header_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::optional<http::request_parser<http::file_body>> spool_;
  std::string spool_path_;
  HttpRequest request_;
  bool keep_alive_ = false, head_ = false, busy_ = false, waiting_ = false;
  unsigned version_ = 11;
  uint64_t ticket_ = 0;
  std::list<std::function<void()>>::iterator closer_;
  bool registered_ = false;
};

void do_accept(Server* s);

// Out of descriptors (or another failing accept): waiting, rather than
// retrying at once, keeps the loop from spinning while connections stay
// queued in the kernel. Said once until an accept works again.
void pause_accepting(Server* s, const error_code& ec) {
  if (!s->accept_failing) {
    s->accept_failing = true;
    log_msg(LOG_ERROR, "server: accept: %s; pausing new connections", ec.message().c_str());
  }
  s->accept_pause.expires_after(std::chrono::milliseconds(250));
  s->accept_pause.async_wait([s](const error_code& wec) {
    if (!wec && !s->stopping) do_accept(s);
  });
}

void do_accept(Server* s) {
  s->acceptor.async_accept(asio::make_strand(s->ioc), [s](const error_code& ec, tcp::socket socket) {
    if (s->stopping || !s->acceptor.is_open()) return;
    if (ec) return pause_accepting(s, ec);
    if (s->accept_failing) {
      s->accept_failing = false;
      log_msg(LOG_INFO, "server: accepting connections again");
    }
    error_code aec;
    tcp::endpoint peer = socket.remote_endpoint(aec);
    std::string address = aec ? std::string("?") : peer.address().to_string();
    if (!admit(s, address)) {
      socket.close(aec);
    } else {
      socket.set_option(tcp::no_delay(true), aec);
      std::make_shared<HttpSession>(s, std::move(socket), std::move(address))->start();
    }
    do_accept(s);
  });
}

std::string format_endpoint(const tcp::endpoint& ep) {
  std::string addr = ep.address().to_string();
  if (ep.address().is_v6()) addr = "[" + addr + "]";
  return addr + ":" + std::to_string(ep.port());
}

// Writes the address atomically: readers never see half of it.
bool write_listen_file(const std::string& path, const std::string& text, std::string* error) {
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << text << "\n";
    out.flush();
    if (!out) {
      *error = "write " + tmp + ": cannot write";
      return false;
    }
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    *error = "rename " + tmp + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// The spool folder, emptied of bodies a killed server left behind.
bool prepare_spool(const std::string& dir, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return *error = "create " + dir + ": " + ec.message(), false;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (entry.path().filename().string().rfind("body", 0) == 0) std::filesystem::remove(entry.path(), ec);
  }
  return true;
}

}  // namespace

bool serve(const ServeOptions& options, App& app, Hub& hub, std::string* error) {
  Server s(app, hub);
  s.files_dir = options.files_dir;
  s.max_connections = std::max(1, options.max_connections);
  s.max_per_address = std::max(1, options.max_per_address);
  s.spool_dir = options.spool_dir.empty() ? "." : options.spool_dir;
  if (!prepare_spool(s.spool_dir, error)) return false;
  error_code ec;
  s.tls.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                    ssl::context::single_dh_use);
  SSL_CTX_set_min_proto_version(s.tls.native_handle(), TLS1_2_VERSION);
  // TLS 1.2 only with forward-secret AEAD suites; TLS 1.3's are all AEAD.
  if (SSL_CTX_set_cipher_list(s.tls.native_handle(),
                              "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                              "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                              "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305") != 1)
    return *error = "TLS: no usable cipher suite", false;
  SSL_CTX_set_options(s.tls.native_handle(), SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_RENEGOTIATION);
  s.tls.use_certificate_chain_file(options.cert_file, ec);
  if (ec) return *error = errtext("load certificate " + options.cert_file, ec), false;
  s.tls.use_private_key_file(options.key_file, ssl::context::pem, ec);
  if (ec) return *error = errtext("load key " + options.key_file, ec), false;

  asio::ip::address address = asio::ip::make_address(options.host, ec);
  if (ec) return *error = errtext("listen address " + options.host, ec), false;
  tcp::endpoint endpoint(address, options.port);
  s.acceptor.open(endpoint.protocol(), ec);
  if (!ec) s.acceptor.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) s.acceptor.bind(endpoint, ec);
  if (ec) return *error = errtext("listen on " + format_endpoint(endpoint), ec), false;
  s.acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) return *error = errtext("listen on " + format_endpoint(endpoint), ec), false;
  tcp::endpoint local = s.acceptor.local_endpoint(ec);
  if (ec) return *error = errtext("listen address", ec), false;
  std::string where = format_endpoint(local);
  if (!options.listen_file.empty() && !write_listen_file(options.listen_file, where, error)) return false;

  asio::signal_set signals(s.ioc, SIGINT, SIGTERM);
  signals.async_wait([&s](const error_code& sec, int sig) {
    if (sec) return;
    log_msg(LOG_INFO, "server: signal %d, shutting down", sig);
    {
      std::lock_guard<std::mutex> lock(s.mu);
      s.stopping = true;
    }
    s.cv.notify_all();
    error_code ignored;
    s.acceptor.close(ignored);
    s.accept_pause.cancel();
    s.hub.close_all();
    std::lock_guard<std::mutex> lock(s.mu);
    for (auto& closer : s.http_closers) closer();
  });
  ::signal(SIGPIPE, SIG_IGN);

  do_accept(&s);
  log_msg(LOG_INFO, "server: listening on https://%s (WebSocket at /ws)", where.c_str());
  std::vector<std::thread> threads;
  for (int i = 0; i < std::max(1, options.threads); i++) threads.emplace_back([&s] { s.ioc.run(); });

  // Wait for the signal, then for the connections to finish their goodbyes.
  {
    std::unique_lock<std::mutex> lock(s.mu);
    s.cv.wait(lock, [&s] { return s.stopping.load(); });
    s.cv.wait_for(lock, kShutdownGrace, [&s] { return s.live_sockets == 0; });
  }
  s.ioc.stop();
  for (auto& t : threads) t.join();
  s.workers.join();
  log_msg(LOG_INFO, "server: stopped");
  return true;
}

}  // namespace halvex::server
