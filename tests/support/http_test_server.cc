#include "tests/support/http_test_server.h"

#include <strings.h>
#include <sys/socket.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace halvex::testing {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using error_code = beast::error_code;
using Stream = ssl::stream<tcp::socket>;

constexpr uint64_t kBodyLimit = 64u << 20;  // far above any chunk a test sends

std::string hex(size_t n) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%zx", n);
  return buf;
}

// The reply as it goes on the wire, and how many of its bytes to send when
// the reply is to be cut part-way (everything otherwise).
std::pair<std::string, size_t> wire(const HttpTestServer::Reply& r) {
  using Framing = HttpTestServer::Reply::Framing;
  std::string reason(http::obsolete_reason(http::int_to_status(static_cast<unsigned>(r.status))));
  std::string out = "HTTP/1.1 " + std::to_string(r.status) + " " + reason + "\r\n";
  if (!r.content_type.empty()) out += "Content-Type: " + r.content_type + "\r\n";
  if (!r.location.empty()) out += "Location: " + r.location + "\r\n";
  if (r.framing == Framing::kLength)
    out += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
  if (r.framing == Framing::kChunked) out += "Transfer-Encoding: chunked\r\n";
  if (r.framing == Framing::kClose) out += "Connection: close\r\n";
  out += "\r\n";
  size_t body_start = out.size();
  if (r.framing == Framing::kChunked && !r.body.empty()) {
    out += hex(r.body.size()) + "\r\n";
    body_start = out.size();
  }
  out += r.body;
  if (r.framing == Framing::kChunked) out += r.body.empty() ? "0\r\n\r\n" : "\r\n0\r\n\r\n";
  size_t send = r.cut_after < r.body.size() ? body_start + r.cut_after : out.size();
  return {out, send};
}

}  // namespace

std::string HttpTestServer::Request::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (strcasecmp(key.c_str(), name.c_str()) == 0) return value;
  }
  return "";
}

struct HttpTestServer::Impl {
  Impl(std::string cert, std::string key) : cert_path(std::move(cert)), key_path(std::move(key)) {}

  void accept_loop();
  void serve(int conn, tcp::socket socket);
  // Handles one request; false when the connection is to end.
  bool answer(int conn, Stream& stream, const http::request<http::string_body>& req);
  void cut(int conn);

  const std::string cert_path;
  const std::string key_path;
  ssl::context ssl_ctx{ssl::context::tls_server};
  asio::io_context ioc;  // sockets need one; all I/O here is synchronous
  tcp::acceptor acceptor{ioc};
  std::thread accept_thread;
  uint16_t port = 0;

  mutable std::mutex mu;
  std::condition_variable cv;  // wakes delayed replies on stop()
  bool started = false;
  bool stopping = false;
  std::deque<Reply> script;
  Reply fallback;
  std::vector<Request> requests;
  int accepted = 0;
  std::map<int, int> live_fds;  // open connections, for stop() to cut
  std::vector<std::thread> conn_threads;
};

void HttpTestServer::Impl::accept_loop() {
  for (;;) {
    tcp::socket socket(ioc);
    error_code ec;
    acceptor.accept(socket, ec);  // stop() shuts the listener down, which ends this
    std::lock_guard<std::mutex> lock(mu);
    if (stopping || (ec && ec != asio::error::connection_aborted)) return;
    if (ec) continue;
    int conn = ++accepted;
    live_fds[conn] = socket.native_handle();
    conn_threads.emplace_back(
        [this, conn, s = std::move(socket)]() mutable { serve(conn, std::move(s)); });
  }
}

// Shuts the TCP connection under TLS: the client sees the stream end with no
// close_notify. The socket is closed by its own thread.
void HttpTestServer::Impl::cut(int conn) {
  std::lock_guard<std::mutex> lock(mu);
  auto it = live_fds.find(conn);
  if (it != live_fds.end()) ::shutdown(it->second, SHUT_RDWR);
}

void HttpTestServer::Impl::serve(int conn, tcp::socket socket) {
  Stream stream(std::move(socket), ssl_ctx);
  error_code ec;
  stream.handshake(ssl::stream_base::server, ec);  // fails when the client refuses us
  beast::flat_buffer buffer;
  while (!ec) {
    http::request_parser<http::string_body> parser;
    parser.body_limit(kBodyLimit);
    http::read(stream, buffer, parser, ec);
    if (ec || !answer(conn, stream, parser.get())) break;
  }
  std::lock_guard<std::mutex> lock(mu);
  live_fds.erase(conn);  // before the socket closes, so stop() never hits a reused fd
}

bool HttpTestServer::Impl::answer(int conn, Stream& stream,
                                  const http::request<http::string_body>& req) {
  Request seen;
  seen.conn = conn;
  seen.method = std::string(req.method_string());
  seen.target = std::string(req.target());
  for (const auto& field : req) seen.headers.emplace_back(field.name_string(), field.value());
  seen.body = req.body();
  Reply reply;
  {
    std::unique_lock<std::mutex> lock(mu);
    requests.push_back(std::move(seen));
    if (!script.empty()) {
      reply = std::move(script.front());
      script.pop_front();
    } else {
      reply = fallback;
    }
    if (reply.delay_ms > 0) {
      cv.wait_for(lock, std::chrono::milliseconds(reply.delay_ms), [&] { return stopping; });
    }
    if (stopping) return false;
  }
  if (reply.drop) {
    cut(conn);
    return false;
  }
  auto [text, send] = wire(reply);
  error_code ec;
  asio::write(stream, asio::buffer(text.data(), send), ec);
  if (ec) return false;
  if (send < text.size()) {
    cut(conn);
    return false;
  }
  if (reply.framing == Reply::Framing::kClose || !req.keep_alive()) {
    stream.shutdown(ec);  // close_notify marks the end of the body
    return false;
  }
  return true;
}

HttpTestServer::HttpTestServer(std::string cert_path, std::string key_path)
    : impl_(std::make_unique<Impl>(std::move(cert_path), std::move(key_path))) {}

HttpTestServer::~HttpTestServer() { stop(); }

bool HttpTestServer::start(std::string* error) {
  Impl& s = *impl_;
  auto fail = [&](const std::string& what, const error_code& ec) {
    if (error != nullptr) *error = what + ": " + ec.message();
    return false;
  };
  error_code ec;
  s.ssl_ctx.use_certificate_chain_file(s.cert_path, ec);
  if (ec) return fail("certificate " + s.cert_path, ec);
  s.ssl_ctx.use_private_key_file(s.key_path, ssl::context::pem, ec);
  if (ec) return fail("key " + s.key_path, ec);
  tcp::endpoint ep(asio::ip::make_address("127.0.0.1"), 0);
  s.acceptor.open(ep.protocol(), ec);
  if (!ec) s.acceptor.bind(ep, ec);
  if (!ec) s.acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) {
    error_code ignored;
    s.acceptor.close(ignored);
    return fail("listen on 127.0.0.1", ec);
  }
  s.port = s.acceptor.local_endpoint(ec).port();
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.started = true;
  }
  s.accept_thread = std::thread([&s] { s.accept_loop(); });
  return true;
}

void HttpTestServer::stop() {
  Impl& s = *impl_;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.started || s.stopping) return;
    s.stopping = true;
    for (const auto& [conn, fd] : s.live_fds) ::shutdown(fd, SHUT_RDWR);
  }
  s.cv.notify_all();
  ::shutdown(s.acceptor.native_handle(), SHUT_RDWR);  // wakes the blocked accept()
  s.accept_thread.join();
  // No thread is added once the accept loop has ended.
  for (std::thread& t : s.conn_threads) t.join();
  error_code ignored;
  s.acceptor.close(ignored);
}

uint16_t HttpTestServer::port() const { return impl_->port; }

std::string HttpTestServer::url(const std::string& target) const {
  return "https://127.0.0.1:" + std::to_string(impl_->port) + target;
}

void HttpTestServer::push(Reply reply) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->script.push_back(std::move(reply));
}

void HttpTestServer::set_default(Reply reply) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->fallback = std::move(reply);
}

std::vector<HttpTestServer::Request> HttpTestServer::requests() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->requests;
}

int HttpTestServer::connections() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->accepted;
}

}  // namespace halvex::testing
