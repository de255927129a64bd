#include "server/net/http_session.h"

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <utility>

#include "core/log.h"
#include "server/admin/range.h"
#include "server/http/files.h"
#include "server/net/http_responder.h"
#include "server/net/long_poll.h"
#include "server/net/push_stream.h"
#include "server/net/ws_session.h"
#include "server/uploads/uploads.h"

namespace halvex::server::net {
namespace {

// Reading an upload's body may take long on a slow link.
constexpr std::chrono::seconds kUploadTimeout{600};

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(Server* server, tcp::socket&& socket, std::string address)
      : server_(server),
        stream_(std::move(socket), server->tls),
        poll_(stream_.get_executor()),
        live_(std::make_unique<LiveToken>(server, address)),
        peer_(std::move(address)) {}

  void start() {
    {
      std::lock_guard<std::mutex> lock(server_->mu);
      auto ex = stream_.get_executor();
      closer_ =
          server_->http_closers.insert(server_->http_closers.end(), [w = weak_from_this(), ex] {
            asio::post(ex, [w] {
              if (auto s = w.lock()) s->shut();
            });
          });
      registered_ = true;
    }
    beast::get_lowest_layer(stream_).expires_after(kHandshakeTimeout);
    stream_.async_handshake(
        ssl::stream_base::server,
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
    if (poll_.waiting()) {
      poll_.cut_short();  // answer the long-poll at once
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
    http::async_read_header(
        stream_, buf_, *header_,
        [self = shared_from_this()](const error_code& ec, size_t) { self->on_header(ec); });
  }

  void on_header(const error_code& ec) {
    if (ec) return;  // closed, timed out, or not HTTP: drop the connection
    const auto& h = header_->get();
    shape_ = {h.version(), h.keep_alive(), h.method() == http::verb::head};
    // A bad upload token is answered before a byte of the body is read (or,
    // for a client that sent Expect: 100-continue, asked for).
    beast::string_view method = h.method_string(), target = h.target();
    if (std::optional<HttpResponse> early =
            server_->app.check_head(std::string_view(method.data(), method.size()),
                                    std::string_view(target.data(), target.size()))) {
      shape_.keep = false;
      return write(std::move(*early));
    }
    BodyPolicy policy = upload_body_policy(split_path(h.target()).first);
    if (header_->content_length() && *header_->content_length() > policy.limit)
      return refuse_body();
    const bool upload = policy.limit > kDefaultBodyLimit;
    if (upload) beast::get_lowest_layer(stream_).expires_after(kUploadTimeout);
    // Clients that asked whether to send the body (curl does for large
    // ones) wait a second for this before sending it anyway.
    bool expect = beast::iequals(h[http::field::expect], "100-continue");
    // An upload body of known length is read into memory while the budget
    // lasts. Past it, a scan body goes onto disk and any other through the
    // parser, which holds only the bytes that arrived.
    auto length = header_->content_length();
    if (upload && length && !header_->chunked() && lease_.take(server_->bodies_in_memory, *length))
      return read_into_memory(expect, *length);
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

  // An upload body of known length that the memory budget holds, read
  // straight into the request: the bytes that came with the header first,
  // then the rest in one read of the stream, with no parser copying it
  // piece by piece.
  void read_into_memory(bool expect, uint64_t length) {
    take_request(header_->get());
    header_.reset();
    request_.body_file.clear();
    request_.body.resize(static_cast<size_t>(length));
    size_t held = std::min<size_t>(buf_.size(), request_.body.size());
    asio::buffer_copy(asio::buffer(request_.body.data(), held), buf_.data());
    buf_.consume(held);
    read_body(expect, [self = shared_from_this(), held] {
      std::string& body = self->request_.body;
      asio::async_read(self->stream_, asio::buffer(body.data() + held, body.size() - held),
                       [self](const error_code& e, size_t) {
                         if (!e) self->run_app();  // else closed or timed out: drop it
                       });
    });
  }

  void read_body(bool expect, std::function<void()> read) {
    if (!expect) return read();
    auto cont =
        std::make_shared<http::response<http::empty_body>>(http::status::continue_, shape_.version);
    http::async_write(stream_, *cont, [cont, read = std::move(read)](const error_code& ec, size_t) {
      if (!ec) read();
    });
  }

  // Answers without reading the body, which leaves the connection unusable.
  void refuse_body(int status = 413) {
    shape_.keep = false;
    HttpResponse res;
    res.status = status;
    res.content_type = "application/json";
    res.body = status == 413 ? "{\"error\":\"request body too large\"}\n"
                             : "{\"error\":\"cannot store the body\"}\n";
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
    take_request(req);
    request_.body.clear();
    request_.body_file = spool_path_;
    run_app();
  }

  void on_request(const error_code& ec) {
    if (ec == http::error::body_limit) return refuse_body();
    if (ec) return;  // closed, timed out, or not HTTP: drop the connection
    http::request<http::string_body> req = parser_->release();
    auto [path, query] = split_path(req.target());
    if (beast::websocket::is_upgrade(req)) {
      if (path != "/ws") {
        send_plain(req, http::status::not_found, "Not found\n");
        return;
      }
      beast::get_lowest_layer(stream_).expires_never();
      unregister();
      ws_start(server_, std::move(stream_), std::move(live_), std::move(req));
      return;
    }
    if (!server_->files_dir.empty() && files_is_target(path)) {
      beast::string_view target = req.target(), cookie = req[http::field::cookie];
      std::optional<HttpResponse> refused =
          server_->app.check_files(std::string_view(target.data(), target.size()),
                                   std::string_view(cookie.data(), cookie.size()));
      if (refused) {
        shape_ = {req.version(), false, req.method() == http::verb::head};
        write(std::move(*refused));
        return;
      }
      write_file(req, path);
      return;
    }
    shape_ = {req.version(), req.keep_alive(), req.method() == http::verb::head};
    take_request(req);
    request_.body = std::move(req.body());
    request_.body_file.clear();
    run_app();
  }

  // The head of `req` into the App's request.
  template <class Body>
  void take_request(const http::request<Body>& req) {
    request_.method = std::string(req.method_string());
    request_.target = std::string(req.target());
    request_.authorization = std::string(req[http::field::authorization]);
    request_.content_type = std::string(req[http::field::content_type]);
    request_.cookie = std::string(req[http::field::cookie]);
    request_.csrf = std::string(req["X-CSRF-Token"]);
    request_.range = std::string(req[http::field::range]);
    request_.no_wait = false;
  }

  static std::pair<std::string_view, std::string_view> split_path(beast::string_view target) {
    return split_target(std::string_view(target.data(), target.size()));
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
    if (lease_.held()) {
      std::string().swap(request_.body);
      lease_.release();
    }
    if (res.push && res.status == 200 && !shape_.head && !server_->stopping) {
      // The connection becomes a push stream (push_stream.h).
      unregister();
      busy_ = false;
      push_start(server_, std::move(stream_), std::move(live_), std::move(request_), std::move(res),
                 shape_.version);
      return;
    }
    if (!res.wait_machine.empty() && !server_->stopping) {
      // Long-poll: wait for the machine's next event, the deadline, or
      // shutdown, then answer with whatever is there.
      beast::get_lowest_layer(stream_).expires_never();
      poll_.wait_for_event(server_->hub, res.wait_machine, res.wait_seconds, weak_from_this(),
                           [self = shared_from_this()] {
                             self->request_.no_wait = true;
                             self->run_app();
                           });
      return;
    }
    if (res.delay_ms > 0 && !server_->stopping) {
      // A throttled answer (a wrong password) is held back; shutdown sends
      // it at once.
      beast::get_lowest_layer(stream_).expires_never();
      poll_.hold(res.delay_ms, [self = shared_from_this(), res = std::move(res)]() mutable {
        self->write(std::move(res));
      });
      return;
    }
    write(std::move(res));
  }

  // After a reply: the next request, or the end of the connection.
  WriteDone after_reply(bool keep) {
    return [self = shared_from_this(), keep](const error_code& ec) {
      self->busy_ = false;
      if (ec) return;
      if (keep) {
        self->do_read();
      } else {
        self->stream_.async_shutdown([self](const error_code&) {});
      }
    };
  }

  void write(HttpResponse res) {
    ReplyShape shape = shape_;
    shape.keep = shape_.keep && !server_->stopping;
    if (!res.file_path.empty()) {
      write_app_file(std::move(res), shape);
      return;
    }
    respond(stream_, std::move(res), shape, after_reply(shape.keep));
  }

  // An App answer whose body is a span of a file (an image download).
  void write_app_file(HttpResponse res, const ReplyShape& shape) {
    if (respond_file_span(stream_, res, shape, after_reply(shape.keep))) return;
    HttpResponse gone;
    gone.status = 404;
    gone.content_type = "text/plain; charset=utf-8";
    gone.body = "Not found\n";
    gone.csp = res.csp;
    respond(stream_, std::move(gone), shape, after_reply(shape.keep));
  }

  // Answers a /files/ request with the file, or with why not.
  void write_file(const http::request<http::string_body>& req, std::string_view path) {
    beast::string_view method = req.method_string();
    FileServe f =
        files_open(server_->files_dir, std::string_view(method.data(), method.size()), path);
    if (f.status != 200) {
      send_plain(req, static_cast<http::status>(f.status), f.text.c_str());
      return;
    }
    shape_ = {req.version(), req.keep_alive() && !server_->stopping,
              req.method() == http::verb::head};
    // A Range is only served on a GET; anything this server does not serve
    // as a part gets the whole file (range.h).
    const bool get = req.method() == http::verb::get;
    beast::string_view asked = get ? req[http::field::range] : beast::string_view();
    HttpResponse res = ranged_file_reply(std::string_view(asked.data(), asked.size()), f.size);
    if (res.status == 416) {
      beast::file unused;
      unused.native_handle(f.fd);  // closes it
      write(std::move(res));
      return;
    }
    if (!respond_open_file_span(stream_, f.fd, res, shape_, after_reply(shape_.keep))) {
      send_plain(req, http::status::internal_server_error, "Cannot read the file\n");
      return;
    }
    busy_ = true;
  }

  void send_plain(const http::request<http::string_body>& req, http::status status,
                  const char* text) {
    shape_ = {req.version(), false, false};
    HttpResponse res;
    res.status = static_cast<int>(status);
    res.content_type = "text/plain; charset=utf-8";
    res.body = text;
    write(std::move(res));
  }

  Server* server_;
  Stream stream_;
  LongPoll poll_;
  std::unique_ptr<LiveToken> live_;
  std::string peer_;  // the client's address
  beast::flat_buffer buf_;
  std::optional<http::request_parser<http::empty_body>> header_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::optional<http::request_parser<http::file_body>> spool_;
  std::string spool_path_;
  BodyLease lease_;  // for a large body read into memory, until answered
  HttpRequest request_;
  ReplyShape shape_;   // of the reply to the request being served
  bool busy_ = false;  // a request is with the App or its reply is being written: shutdown waits
  std::list<std::function<void()>>::iterator closer_;
  bool registered_ = false;
};

}  // namespace

void http_start(Server* server, tcp::socket&& socket, std::string address) {
  std::make_shared<HttpSession>(server, std::move(socket), std::move(address))->start();
}

}  // namespace halvex::server::net
