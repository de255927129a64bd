#include "tests/support/ws_test_server.h"

#include <openssl/ssl.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

namespace halvex::testing {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using error_code = beast::error_code;

// Large enough for any message a test sends (the agent's own limit is far
// lower); the requirement is at least 1 MiB.
constexpr size_t kReadMessageMax = 64u << 20;
// A client that connects but never finishes TLS or the upgrade must not hold
// a connection (and stop()) forever.
constexpr std::chrono::seconds kHandshakeTimeout{10};
// How long stop() lets clients answer the close frame before it cuts them.
constexpr std::chrono::seconds kCloseGrace{1};
// How long stop() waits for the I/O thread to finish its handlers after the
// cut before it stops the io_context outright.
constexpr std::chrono::seconds kDrainGrace{1};

}  // namespace

// Named rather than unnamed: WsTestServer::Impl has external linkage and
// derives from these types, which GCC flags when they live in an unnamed
// namespace.
namespace ws_test_server_detail {

// One frame (or frame sequence) waiting to go out on a connection.
struct Outgoing {
  enum Kind { kText, kBinary, kFragmented, kClose } kind = kText;
  std::string data;
  size_t frame_size = 0;  // kFragmented only
  bool binary = false;    // kFragmented only
  uint16_t code = 1000;   // kClose only
  size_t offset = 0;      // kFragmented: bytes already written
};

class Session;

// The server's state. WsTestServer::Impl is this under its private name.
struct Server {
  Server(WsTestServer* o, std::string cert, std::string key)
      : owner(o), cert_path(std::move(cert)), key_path(std::move(key)) {}

  // Runs on the I/O thread.
  void do_accept();
  void begin_shutdown();
  void cut_all();

  // Any thread: the open session numbered conn (0: the newest), or null.
  std::shared_ptr<Session> find(int conn) const;
  bool post_outgoing(int conn, Outgoing op);

  WsTestServer* const owner;
  const std::string cert_path;
  const std::string key_path;

  // Serialises start() and stop() so that two stop() calls cannot both join.
  std::mutex life_mu;
  bool started = false;  // guarded by life_mu

  // State the tests read; guarded by mu, changes announced on cv.
  mutable std::mutex mu;
  std::condition_variable cv;
  int upgraded = 0;  // connections numbered so far
  std::set<int> gone;
  std::vector<WsTestServer::Message> received;
  std::string last_target;
  std::string last_user_agent;
  bool io_done = false;  // the I/O thread has left run()

  std::atomic<uint16_t> port{0};

  // Declared after the state above and before `open`, so that on destruction
  // the sessions in `open` go first, then the io_context their sockets use
  // (any session still held by a pending handler goes with the io_context,
  // while the TLS context it was made from still exists).
  ssl::context ssl_ctx{ssl::context::tls_server};
  asio::io_context ioc;
  tcp::acceptor acceptor{ioc};
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  std::thread thread;

  // Upgraded, still open sessions by number; guarded by mu.
  std::map<int, std::shared_ptr<Session>> open;
  // Every session accepted at the TCP level, for stop(); I/O thread only.
  std::vector<std::weak_ptr<Session>> sessions;
};

// One TCP connection: TLS handshake, HTTP upgrade, then a read loop and a
// queue of outgoing frames. Every member runs on the I/O thread; handlers hold
// a shared_ptr so the session lives as long as any operation on it.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Server* server, tcp::socket&& socket)
      : server_(server), ws_(std::move(socket), server->ssl_ctx) {}

  void start() {
    beast::get_lowest_layer(ws_).expires_after(kHandshakeTimeout);
    ws_.next_layer().async_handshake(
        ssl::stream_base::server,
        [self = shared_from_this()](const error_code& ec) { self->on_tls(ec); });
  }

  void enqueue(Outgoing op) {
    if (closing_ || cut_) return;  // nothing may follow a close frame
    if (op.kind == Outgoing::kClose) closing_ = true;
    queue_.push_back(std::move(op));
    if (!writing_) write_next();
  }

  void enqueue_close(uint16_t code) {
    Outgoing op;
    op.kind = Outgoing::kClose;
    op.code = code;
    enqueue(std::move(op));
  }

  // Closes the socket under TLS and WebSocket: the peer sees the stream end
  // without close frame or close_notify, and pending operations here end
  // with operation_aborted, which ends the session.
  void cut() {
    cut_ = true;
    error_code ec;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ec);
    beast::get_lowest_layer(ws_).close();
  }

  bool upgraded() const { return id_ != 0; }

 private:
  void on_tls(const error_code& ec) {
    // A client that rejects our certificate ends here; that is a normal
    // outcome for tests of certificate checks, so nothing is recorded.
    if (ec) return;
    beast::get_lowest_layer(ws_).expires_after(kHandshakeTimeout);
    // The request is read separately (instead of letting accept() read it) to
    // record its target and User-Agent.
    http::async_read(
        ws_.next_layer(), rbuf_, req_,
        [self = shared_from_this()](const error_code& ec2, size_t) { self->on_request(ec2); });
  }

  void on_request(const error_code& ec) {
    if (ec || !websocket::is_upgrade(req_)) return;  // dropping self closes the socket
    {
      std::lock_guard<std::mutex> lock(server_->mu);
      server_->last_target = std::string(req_.target());
      server_->last_user_agent = std::string(req_[http::field::user_agent]);
    }
    // From here the WebSocket layer keeps its own time-outs.
    beast::get_lowest_layer(ws_).expires_never();
    websocket::stream_base::timeout timeouts;
    timeouts.handshake_timeout = kHandshakeTimeout;  // also bounds the closing handshake
    timeouts.idle_timeout = websocket::stream_base::none();
    timeouts.keep_alive_pings = false;
    ws_.set_option(timeouts);
    ws_.read_message_max(kReadMessageMax);
    // Without this Beast splits outgoing messages into 4 KiB frames by itself,
    // and send_fragmented() could not promise the frame sizes it is asked for.
    ws_.auto_fragment(false);
    ws_.async_accept(req_,
                     [self = shared_from_this()](const error_code& ec2) { self->on_accept(ec2); });
  }

  void on_accept(const error_code& ec) {
    if (ec) return;
    {
      std::lock_guard<std::mutex> lock(server_->mu);
      id_ = ++server_->upgraded;
      server_->open[id_] = shared_from_this();
    }
    server_->cv.notify_all();
    // The upgrade request was read into rbuf_; a well-behaved client sends no
    // frame before our 101 answer, so nothing useful is left in it.
    rbuf_.clear();
    do_read();
  }

  void do_read() {
    ws_.async_read(
        rbuf_, [self = shared_from_this()](const error_code& ec, size_t) { self->on_read(ec); });
  }

  void on_read(const error_code& ec) {
    if (ec) {
      // error::closed after a closing handshake, anything else after a cut
      // or a broken peer: either way the connection is gone.
      finish();
      return;
    }
    std::string data = beast::buffers_to_string(rbuf_.data());
    rbuf_.consume(rbuf_.size());
    bool binary = ws_.got_binary();
    {
      std::lock_guard<std::mutex> lock(server_->mu);
      server_->received.push_back(WsTestServer::Message{id_, binary, data});
    }
    server_->cv.notify_all();
    // Called without holding mu, so the hook may use the public methods.
    if (server_->owner->on_message) server_->owner->on_message(*server_->owner, id_, data);
    do_read();
  }

  void finish() {
    {
      std::lock_guard<std::mutex> lock(server_->mu);
      server_->open.erase(id_);
      server_->gone.insert(id_);
    }
    server_->cv.notify_all();
  }

  // Starts the operation for the front of the queue; at most one write,
  // write_some or close is in flight on the stream at any time.
  void write_next() {
    if (queue_.empty() || cut_) {
      writing_ = false;
      return;
    }
    writing_ = true;
    Outgoing& op = queue_.front();
    auto self = shared_from_this();
    switch (op.kind) {
      case Outgoing::kText:
      case Outgoing::kBinary:
        ws_.binary(op.kind == Outgoing::kBinary);
        ws_.async_write(asio::buffer(op.data),
                        [self](const error_code& ec, size_t) { self->on_written(ec, true); });
        break;
      case Outgoing::kFragmented: {
        if (op.offset == 0) ws_.binary(op.binary);  // the opcode goes in the first frame only
        size_t n = std::min(op.frame_size, op.data.size() - op.offset);
        bool fin = op.offset + n == op.data.size();
        ws_.async_write_some(fin, asio::buffer(op.data.data() + op.offset, n),
                             [self, fin](const error_code& ec, size_t written) {
                               if (!ec) self->queue_.front().offset += written;
                               self->on_written(ec, fin);
                             });
        break;
      }
      case Outgoing::kClose:
        ws_.async_close(websocket::close_reason(op.code),
                        [self](const error_code& ec) { self->on_written(ec, true); });
        break;
    }
  }

  void on_written(const error_code& ec, bool front_done) {
    if (ec) {
      // The read loop sees the same failure and ends the session.
      queue_.clear();
      writing_ = false;
      return;
    }
    if (front_done) queue_.pop_front();
    write_next();
  }

  Server* const server_;
  websocket::stream<beast::ssl_stream<beast::tcp_stream>> ws_;
  beast::flat_buffer rbuf_;
  http::request<http::string_body> req_;
  int id_ = 0;  // 0 until the upgrade completes
  std::deque<Outgoing> queue_;
  bool writing_ = false;
  bool closing_ = false;
  bool cut_ = false;
};

void Server::do_accept() {
  acceptor.async_accept(ioc, [this](const error_code& ec, tcp::socket socket) {
    if (!acceptor.is_open()) return;  // stop() closed it
    if (!ec) {
      // Small frames (authentication replies, heartbeats) would otherwise
      // wait on Nagle and delayed ACKs: tens of milliseconds per round trip.
      error_code ignored;
      socket.set_option(tcp::no_delay(true), ignored);
      auto session = std::make_shared<Session>(this, std::move(socket));
      std::erase_if(sessions, [](const std::weak_ptr<Session>& s) { return s.expired(); });
      sessions.push_back(session);
      session->start();
    }
    do_accept();
  });
}

void Server::begin_shutdown() {
  error_code ec;
  acceptor.close(ec);
  for (const auto& weak : sessions) {
    if (auto session = weak.lock()) {
      if (session->upgraded()) {
        session->enqueue_close(1000);
      } else {
        session->cut();
      }
    }
  }
}

void Server::cut_all() {
  for (const auto& weak : sessions) {
    if (auto session = weak.lock()) session->cut();
  }
  sessions.clear();
}

std::shared_ptr<Session> Server::find(int conn) const {
  std::lock_guard<std::mutex> lock(mu);
  if (conn == 0) return open.empty() ? nullptr : open.rbegin()->second;
  auto it = open.find(conn);
  return it == open.end() ? nullptr : it->second;
}

bool Server::post_outgoing(int conn, Outgoing op) {
  std::shared_ptr<Session> session = find(conn);
  if (!session) return false;
  // Never write here: the stream belongs to the I/O thread, and this may be
  // the I/O thread itself inside on_message, which must not wait on itself.
  asio::post(ioc, [session, op = std::move(op)]() mutable { session->enqueue(std::move(op)); });
  return true;
}

}  // namespace ws_test_server_detail

using ws_test_server_detail::Outgoing;
using ws_test_server_detail::Session;

struct WsTestServer::Impl : ws_test_server_detail::Server {
  using Server::Server;
};

namespace {

std::string error_text(const std::string& context, const error_code& ec) {
  return context + ": " + ec.message();
}

}  // namespace

WsTestServer::WsTestServer(std::string cert_path, std::string key_path)
    : impl_(std::make_unique<Impl>(this, std::move(cert_path), std::move(key_path))) {}

WsTestServer::~WsTestServer() { stop(); }

bool WsTestServer::start(std::string* error) {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> life(s.life_mu);
  if (s.started) {
    // The acceptor now belongs to the I/O thread (or is closed): leave it.
    if (error != nullptr) *error = "start: already started";
    return false;
  }
  auto fail = [&](const std::string& text) {
    if (error != nullptr) *error = text;
    error_code ignored;
    s.acceptor.close(ignored);
    return false;
  };

  error_code ec;
  s.ssl_ctx.use_certificate_chain_file(s.cert_path, ec);
  if (ec) return fail(error_text("load certificate " + s.cert_path, ec));
  s.ssl_ctx.use_private_key_file(s.key_path, ssl::context::pem, ec);
  if (ec) return fail(error_text("load key " + s.key_path, ec));
  // The agent insists on TLS 1.2 or later; a test server that allowed less
  // could hide a client that does not.
  SSL_CTX_set_min_proto_version(s.ssl_ctx.native_handle(), TLS1_2_VERSION);

  tcp::endpoint endpoint(asio::ip::address_v4::loopback(), 0);
  s.acceptor.open(endpoint.protocol(), ec);
  if (ec) return fail(error_text("open listener", ec));
  s.acceptor.bind(endpoint, ec);
  if (ec) return fail(error_text("bind 127.0.0.1", ec));
  s.acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) return fail(error_text("listen", ec));
  tcp::endpoint local = s.acceptor.local_endpoint(ec);
  if (ec) return fail(error_text("listener address", ec));
  s.port = local.port();

  s.do_accept();
  // Keeps run() going while no operation is pending, until stop().
  s.work.emplace(asio::make_work_guard(s.ioc));
  s.thread = std::thread([&s] {
    s.ioc.run();
    {
      std::lock_guard<std::mutex> lock(s.mu);
      s.io_done = true;
    }
    s.cv.notify_all();
  });
  s.started = true;
  return true;
}

uint16_t WsTestServer::port() const { return impl_->port; }

void WsTestServer::stop() {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> life(s.life_mu);
  if (!s.thread.joinable()) return;

  // Polite first: close frames, and time for the clients to answer them.
  asio::post(s.ioc, [&s] { s.begin_shutdown(); });
  {
    std::unique_lock<std::mutex> lock(s.mu);
    s.cv.wait_for(lock, kCloseGrace, [&s] { return s.open.empty(); });
  }
  // Then cut whatever is left and let the handlers finish with errors.
  asio::post(s.ioc, [&s] { s.cut_all(); });
  s.work.reset();
  {
    std::unique_lock<std::mutex> lock(s.mu);
    if (!s.cv.wait_for(lock, kDrainGrace, [&s] { return s.io_done; })) {
      // Something is still waiting (a timer, say); its handler is destroyed
      // with the io_context instead of run.
      s.ioc.stop();
    }
  }
  s.thread.join();
  std::map<int, std::shared_ptr<Session>> open;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    open.swap(s.open);
  }
  // `open` is destroyed here, on this thread, now that no handler runs.
}

bool WsTestServer::wait_for_connections(int n, std::chrono::milliseconds timeout) {
  Impl& s = *impl_;
  std::unique_lock<std::mutex> lock(s.mu);
  return s.cv.wait_for(lock, timeout, [&] { return s.upgraded >= n; });
}

int WsTestServer::open_connections() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return static_cast<int>(impl_->open.size());
}

bool WsTestServer::wait_for_disconnect(int conn, std::chrono::milliseconds timeout) {
  Impl& s = *impl_;
  std::unique_lock<std::mutex> lock(s.mu);
  return s.cv.wait_for(lock, timeout, [&] { return s.gone.count(conn) > 0; });
}

std::vector<WsTestServer::Message> WsTestServer::messages() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->received;
}

std::vector<WsTestServer::Message> WsTestServer::wait_for_messages(
    size_t n, std::chrono::milliseconds timeout) {
  Impl& s = *impl_;
  std::unique_lock<std::mutex> lock(s.mu);
  s.cv.wait_for(lock, timeout, [&] { return s.received.size() >= n; });
  return s.received;
}

bool WsTestServer::send_text(const std::string& data, int conn) {
  Outgoing op;
  op.kind = Outgoing::kText;
  op.data = data;
  return impl_->post_outgoing(conn, std::move(op));
}

bool WsTestServer::send_binary(const std::string& data, int conn) {
  Outgoing op;
  op.kind = Outgoing::kBinary;
  op.data = data;
  return impl_->post_outgoing(conn, std::move(op));
}

bool WsTestServer::send_fragmented(const std::string& data, size_t frame_size, bool binary,
                                   int conn) {
  if (frame_size == 0) return false;
  Outgoing op;
  op.kind = Outgoing::kFragmented;
  op.data = data;
  op.frame_size = frame_size;
  op.binary = binary;
  return impl_->post_outgoing(conn, std::move(op));
}

bool WsTestServer::close(int conn, uint16_t code) {
  Outgoing op;
  op.kind = Outgoing::kClose;
  op.code = code;
  return impl_->post_outgoing(conn, std::move(op));
}

void WsTestServer::drop(int conn) {
  std::shared_ptr<Session> session = impl_->find(conn);
  if (!session) return;
  asio::post(impl_->ioc, [session] { session->cut(); });
}

std::string WsTestServer::last_target() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->last_target;
}

std::string WsTestServer::last_user_agent() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->last_user_agent;
}

}  // namespace halvex::testing
