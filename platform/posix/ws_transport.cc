// WebSocket transport on Boost.Beast. This is the only file of the agent
// that includes Beast: it dominates compile time, so it stays in one place.
//
// Every socket operation runs on the transport's own I/O thread. Callers post
// an operation there and wait for its completion handler through a promise;
// timeouts are enforced by closing the socket, which completes whatever is
// pending with an error. A write is timed by its progress, not its length:
// the TCP layer notes when the socket last accepted bytes, and the write
// fails only after the stall limit passes with none.

#include "platform/ws_transport.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <chrono>
#include <future>
#include <optional>
#include <thread>
#include <type_traits>

#include "platform/posix/tls_openssl.h"

namespace halvex {

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

using Clock = std::chrono::steady_clock;

constexpr auto kStepTimeout = std::chrono::seconds(10);
// How long a close waits for the server's close frame before it just drops
// the connection.
constexpr auto kCloseTimeout = std::chrono::seconds(3);

// A rate policy that limits nothing and notes when the socket last accepted
// bytes for writing. Beast calls it on the I/O thread after every socket
// write, whatever the layers above (TLS records, WebSocket frames) do.
class WriteProgress {
 public:
  Clock::time_point last_write() const { return last_write_; }
  // The clock of a new write starts now.
  void restart() { last_write_ = Clock::now(); }

 private:
  friend class beast::rate_policy_access;
  static constexpr size_t kAll = SIZE_MAX;
  size_t available_read_bytes() const { return kAll; }
  size_t available_write_bytes() const { return kAll; }
  void transfer_read_bytes(size_t) {}
  void transfer_write_bytes(size_t n) {
    if (n > 0) last_write_ = Clock::now();
  }
  void on_timer() {}

  Clock::time_point last_write_ = Clock::now();
};

using TcpStream = beast::basic_stream<tcp, net::any_io_executor, WriteProgress>;
using PlainWs = websocket::stream<TcpStream>;
using TlsWs = websocket::stream<beast::ssl_stream<TcpStream>>;

bool is_ip_literal(const std::string& host) {
  error_code ec;
  net::ip::make_address(host, ec);
  return !ec;
}

// Removes IPv6 brackets so the resolver and the name check see the address.
std::string bare_host(const std::string& host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
    return host.substr(1, host.size() - 2);
  return host;
}

class BeastTransport final : public WsTransport {
 public:
  explicit BeastTransport(const WsTransportLimits& limits)
      : write_stall_(limits.write_stall), work_(net::make_work_guard(ioc_)), resolver_(ioc_) {
    io_thread_ = std::thread([this] { ioc_.run(); });
  }

  ~BeastTransport() override {
    close();
    // Drop the socket at once: whatever is still pending completes with an
    // error before the I/O thread ends.
    net::post(ioc_, [this] { drop_socket(); });
    work_.reset();
    io_thread_.join();
  }

  WsConnectResult connect(const WsEndpoint& ep) override {
    WsConnectResult r;
    std::string host = bare_host(ep.host);

    // The streams are made on the I/O thread, like everything that
    // touches them (close() may look at them there at any time).
    std::string trust_error;
    error_code ec = run([&](auto done) {
      error_code e;
      ssl_ctx_.emplace(ssl::context::tls_client);
      ssl_ctx_->set_verify_mode(ssl::verify_peer, e);
      // The same anchors as the HTTP client's (platform/posix/tls.cc).
      if (!e && !tls_apply_trust(ssl_ctx_->native_handle(), &trust_error))
        e = make_error_code(boost::system::errc::io_error);
      if (!e && ep.secure) tls_.emplace(ioc_, *ssl_ctx_);
      if (!e && !ep.secure) plain_.emplace(ioc_);
      done(e);
    });
    if (ec) {
      r = fail(WsConnectStep::kOpen, ec);
      if (!trust_error.empty()) r.cause = trust_error;
      return r;
    }

    // Resolve.
    tcp::resolver::results_type endpoints;
    ec = run_with_deadline(kStepTimeout, [&](auto done) {
      resolver_.async_resolve(host, std::to_string(ep.port),
                              [&, done](error_code e, tcp::resolver::results_type res) {
                                endpoints = std::move(res);
                                done(e);
                              });
    });
    if (ec) return fail(WsConnectStep::kResolve, ec);

    // TCP connect, TLS handshake, then the upgrade. The tcp_stream's own
    // expiry bounds each of these steps.
    ec = run([&](auto done) {
      auto& tcp_layer = lowest_layer();
      tcp_layer.expires_after(kStepTimeout);
      tcp_layer.async_connect(endpoints, [this, done](error_code e, const tcp::endpoint&) {
        // Events are small and latency matters more than packet count.
        error_code ignored;
        if (!e) lowest_layer().socket().set_option(tcp::no_delay(true), ignored);
        done(e);
      });
    });
    if (ec) return fail(WsConnectStep::kSend, ec);

    if (ep.secure) {
      long verify = X509_V_OK;
      ec = run([&](auto done) {
        SSL* ssl_handle = tls_->next_layer().native_handle();
        // SNI names the host; IP literals are never sent as SNI.
        if (!is_ip_literal(host) && !SSL_set_tlsext_host_name(ssl_handle, host.c_str())) {
          done(error_code(static_cast<int>(ERR_get_error()), net::error::get_ssl_category()));
          return;
        }
        // OpenSSL checks the name during the handshake (and names a mismatch
        // in the verify result): a DNS name, or the address of an IP literal.
        bool name_set = is_ip_literal(host) ? X509_VERIFY_PARAM_set1_ip_asc(
                                                  SSL_get0_param(ssl_handle), host.c_str()) == 1
                                            : SSL_set1_host(ssl_handle, host.c_str()) == 1;
        if (!name_set) {
          done(error_code(static_cast<int>(ERR_get_error()), net::error::get_ssl_category()));
          return;
        }
        lowest_layer().expires_after(kStepTimeout);
        tls_->next_layer().async_handshake(ssl::stream_base::client,
                                           [&verify, ssl_handle, done](error_code e) {
                                             verify = SSL_get_verify_result(ssl_handle);
                                             done(e);
                                           });
      });
      if (ec) {
        r = fail(WsConnectStep::kSend, ec);
        if (verify != X509_V_OK)
          r.cause =
              std::string("certificate verify failed: ") + X509_verify_cert_error_string(verify);
        return r;
      }
    }

    websocket::response_type response;
    ec = run([&](auto done) {
      with_ws([&](auto& ws) {
        lowest_layer().expires_after(kStepTimeout);
        ws.set_option(
            websocket::stream_base::decorator([ua = ep.user_agent](websocket::request_type& req) {
              req.set(beast::http::field::user_agent, ua);
            }));
        // Messages are read piecewise and limited by the caller, so Beast's
        // own message limit (which would drop the connection) is lifted.
        ws.read_message_max(0);
        ws.auto_fragment(false);
        ws.text(true);
        bool default_port = ep.port == (ep.secure ? 443 : 80);
        std::string host_header = default_port ? ep.host : ep.host + ":" + std::to_string(ep.port);
        ws.async_handshake(response, host_header, ep.path, [done](error_code e) { done(e); });
      });
    });
    if (ec) {
      bool answered = response.result_int() != 0 ||
                      ec.category() == make_error_code(websocket::error::closed).category();
      return fail(answered ? WsConnectStep::kUpgrade : WsConnectStep::kReceive, ec);
    }
    // The receive side waits without limit; writes have their own timer.
    net::post(ioc_, [this] { lowest_layer().expires_never(); });
    upgraded_ = true;
    return r;
  }

  WsReadResult read(char* buf, size_t cap) override {
    WsReadResult r;
    size_t bytes = 0;
    bool done_msg = false, binary = false;
    error_code ec = run([&](auto done) {
      with_ws([&](auto& ws) {
        ws.async_read_some(net::buffer(buf, cap), [&, done, &ws = ws](error_code e, size_t n) {
          bytes = n;
          done_msg = ws.is_message_done();
          binary = ws.got_binary();
          done(e);
        });
      });
    });
    if (ec == websocket::error::closed) {
      r.kind = WsReadKind::kClose;
    } else if (ec) {
      r.kind = WsReadKind::kError;
      r.code = static_cast<unsigned long>(ec.value());
    } else {
      r.kind = done_msg ? WsReadKind::kMessage : WsReadKind::kFragment;
      r.bytes = bytes;
      r.binary = binary;
    }
    return r;
  }

  bool write_text(const char* data, size_t len, unsigned long* code) override {
    if (closed_ || !upgraded_) {
      *code = static_cast<unsigned long>(net::error::not_connected);
      return false;
    }
    error_code ec = run_while_progressing([&](auto done) {
      with_ws([&](auto& ws) {
        ws.text(true);
        ws.async_write(net::buffer(data, len), [done](error_code e, size_t) { done(e); });
      });
    });
    *code = static_cast<unsigned long>(ec.value());
    return !ec;
  }

  void close() override {
    if (closed_.exchange(true)) return;
    std::promise<void> finished;
    net::post(ioc_, [this, &finished] {
      bool open = false;
      with_ws([&](auto& ws) { open = upgraded_ && ws.is_open(); });
      if (!open) {
        // Still connecting: abort whatever step is under way.
        drop_socket();
        finished.set_value();
        return;
      }
      auto timer = std::make_shared<net::steady_timer>(ioc_, kCloseTimeout);
      timer->async_wait([this](error_code e) {
        if (!e) drop_socket();
      });
      with_ws([&](auto& ws) {
        ws.async_close(websocket::close_code::normal, [this, timer, &finished](error_code) {
          timer->cancel();
          drop_socket();
          finished.set_value();
        });
      });
    });
    finished.get_future().wait();
  }

 private:
  TcpStream& lowest_layer() {
    if (tls_) return beast::get_lowest_layer(*tls_);
    return beast::get_lowest_layer(*plain_);
  }

  template <class F>
  void with_ws(F&& f) {
    if (tls_)
      f(*tls_);
    else if (plain_)
      f(*plain_);
  }

  // I/O thread only. Closes the TCP socket and cancels name resolution.
  void drop_socket() {
    resolver_.cancel();
    if (tls_ || plain_) {
      error_code ignored;
      lowest_layer().socket().shutdown(tcp::socket::shutdown_both, ignored);
      lowest_layer().close();
    }
  }

  // Runs `start` on the I/O thread and waits for the completion it reports
  // through `done`. A transport that was closed fails the step at once.
  template <class Start>
  error_code run(Start start) {
    std::promise<error_code> result;
    auto done = [&result](error_code e) { result.set_value(e); };
    net::post(ioc_, [&] {
      if (closed_) {
        done(net::error::operation_aborted);
        return;
      }
      start(done);
    });
    return result.get_future().get();
  }

  // Like run(), but drops the connection if the step takes longer than
  // `limit`; the step then completes with operation_aborted.
  template <class Start>
  error_code run_with_deadline(std::chrono::seconds limit, Start start) {
    auto timer = std::make_shared<net::steady_timer>(ioc_, limit);
    // Both handlers run on the I/O thread. A timer that expired just as the
    // step finished may already be queued; the flag keeps it from dropping a
    // connection that works.
    auto finished = std::make_shared<bool>(false);
    error_code ec = run([&](auto done) {
      timer->async_wait([this, finished](error_code e) {
        if (!e && !*finished) drop_socket();
      });
      start([timer, finished, done](error_code e) {
        *finished = true;
        timer->cancel();
        done(e);
      });
    });
    return ec;
  }

  // Like run(), for a write: drops the connection once the socket has
  // accepted no byte for write_stall_; the step then fails with timed_out.
  // Any progress pushes the limit on, so a slow link gets all the time it
  // needs.
  template <class Start>
  error_code run_while_progressing(Start start) {
    auto watch = std::make_shared<StallWatch>(ioc_);
    error_code ec = run([&](auto done) {
      lowest_layer().rate_policy().restart();
      watch_for_stall(watch);
      start([watch, done](error_code e) {
        watch->finished = true;
        watch->timer.cancel();
        done(watch->stalled ? error_code(net::error::timed_out) : e);
      });
    });
    return ec;
  }

  // I/O thread only: the timer of one write and what it found.
  struct StallWatch {
    explicit StallWatch(net::io_context& ioc) : timer(ioc) {}
    net::steady_timer timer;
    bool finished = false;
    bool stalled = false;
  };

  // I/O thread only. Wakes when the limit after the last progress is due;
  // drops the connection if no byte went out since, else waits again.
  void watch_for_stall(const std::shared_ptr<StallWatch>& watch) {
    watch->timer.expires_at(lowest_layer().rate_policy().last_write() + write_stall_);
    watch->timer.async_wait([this, watch](error_code e) {
      if (e || watch->finished) return;
      if (Clock::now() - lowest_layer().rate_policy().last_write() < write_stall_) {
        watch_for_stall(watch);
        return;
      }
      watch->stalled = true;
      drop_socket();
    });
  }

  WsConnectResult fail(WsConnectStep step, error_code ec) {
    WsConnectResult r;
    r.step = step;
    r.code = static_cast<unsigned long>(ec.value());
    r.cause = ec.message();
    return r;
  }

  const Clock::duration write_stall_;
  net::io_context ioc_;
  net::executor_work_guard<net::io_context::executor_type> work_;
  tcp::resolver resolver_;
  std::optional<ssl::context> ssl_ctx_;
  std::optional<TlsWs> tls_;
  std::optional<PlainWs> plain_;
  std::atomic<bool> closed_{false};
  std::atomic<bool> upgraded_{false};
  std::thread io_thread_;
};

}  // namespace

std::unique_ptr<WsTransport> ws_transport_create(const WsTransportLimits& limits) {
  return std::make_unique<BeastTransport>(limits);
}

}  // namespace halvex
