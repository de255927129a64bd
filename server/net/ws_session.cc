#include "server/net/ws_session.h"

#include <boost/asio/post.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "core/log.h"
#include "server/net/http_responder.h"
#include "server/net/push_queue.h"

namespace halvex::server::net {
namespace {

namespace websocket = beast::websocket;

constexpr std::chrono::seconds kWsIdleTimeout{70};  // agents beat every 20 s
constexpr size_t kReadPiece = 16 * 1024;

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
      : server_(server),
        ws_(std::move(stream)),
        auth_timer_(ws_.get_executor()),
        live_(std::move(live)) {}

  void start(http::request<http::string_body> req) {
    websocket::stream_base::timeout t;
    t.handshake_timeout = kHandshakeTimeout;
    t.idle_timeout = kWsIdleTimeout;
    t.keep_alive_pings = true;
    ws_.set_option(t);
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& res) { set_reply_headers(res, ""); }));
    ws_.read_message_max(0);  // we count ourselves and discard, piece by piece
    ws_.async_accept(req,
                     [self = shared_from_this()](const error_code& ec) { self->on_accept(ec); });
  }

  void queue_text(std::string text) {
    if (closing_ || gone_) return;
    // A client that sends and never reads would otherwise have every
    // answer held for it, without end.
    if (!queue_.push(std::move(text))) {
      log_msg(LOG_WARN, "ws: connection %llu: dropped, it does not read what is sent",
              static_cast<unsigned long long>(id_));
      closing_ = true;
      drop();
      return;
    }
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
    id_ = server_->hub.open(std::make_shared<WsSink>(weak_from_this(), ws_.get_executor()),
                            live_->address);
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
    ws_.async_read_some(
        buf_.prepare(kReadPiece),
        [self = shared_from_this()](const error_code& ec, size_t n) { self->on_read(ec, n); });
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
    if (!authenticated_ && message_bytes_ > kMaxPreAuthMessage)
      authenticated_ = server_->hub.state(id_).authenticated;
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
      if (!discarding_)
        log_msg(LOG_WARN, "ws: connection %llu: message over %zu bytes dropped",
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
      ws_.async_write(asio::buffer(queue_.front()),
                      [self = shared_from_this()](const error_code& ec, size_t) {
                        self->writing_ = false;
                        if (ec) {
                          self->queue_.clear();
                          return;  // the read side sees the failure too
                        }
                        self->queue_.pop();
                        self->write_next();
                      });
      return;
    }
    if (closing_ && !close_sent_) {
      close_sent_ = true;
      writing_ = true;
      ws_.async_close(websocket::close_code::normal,
                      [self = shared_from_this()](const error_code&) { self->writing_ = false; });
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
  PushQueue queue_{kMaxWsQueued, kMaxWsBytes};
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

}  // namespace

void ws_start(Server* server, Stream&& stream, std::unique_ptr<LiveToken> live,
              http::request<http::string_body> req) {
  auto ws = std::make_shared<WsSession>(server, std::move(stream), std::move(live));
  ws->start(std::move(req));
}

}  // namespace halvex::server::net
