// The listener: serve() sets up TLS and the listening socket, accepts
// connections under the caps and hands each to an HttpSession, and on
// SIGINT or SIGTERM closes everything and returns.

#include <openssl/ssl.h>
#include <signal.h>
#include <stdio.h>

#include <boost/asio/signal_set.hpp>
#include <boost/asio/strand.hpp>

#include <filesystem>
#include <thread>
#include <vector>

#include "core/log.h"
#include "platform/files.h"
#include "server/net/net.h"
#include "server/net/http_session.h"
#include "server/net/listener.h"

namespace halvex::server {
namespace net {

LiveToken::LiveToken(Server* s, std::string addr) : server(s), address(std::move(addr)) {
  std::lock_guard<std::mutex> lock(s->mu);
  s->live_sockets++;
  s->per_address[address]++;
}

LiveToken::~LiveToken() {
  {
    std::lock_guard<std::mutex> lock(server->mu);
    server->live_sockets--;
    auto it = server->per_address.find(address);
    if (it != server->per_address.end() && --it->second <= 0) server->per_address.erase(it);
  }
  server->cv.notify_all();
}

}  // namespace net

namespace {

using namespace net;

constexpr std::chrono::seconds kShutdownGrace{3};

std::string errtext(const std::string& context, const error_code& ec) {
  return context + ": " + ec.message();
}

// Whether one more connection from `address` fits under the caps. Logs a
// refusal at most every 10 s, so a flood cannot fill the log.
bool admit(Server* s, const std::string& address) {
  std::lock_guard<std::mutex> lock(s->mu);
  auto it = s->per_address.find(address);
  int from_address = it == s->per_address.end() ? 0 : it->second;
  if (s->live_sockets < s->max_connections && from_address < s->max_per_address) return true;
  int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                    std::chrono::steady_clock::now().time_since_epoch())
                    .count();
  if (now - s->cap_logged_at >= 10) {
    s->cap_logged_at = now;
    log_msg(LOG_WARN,
            "server: connection cap reached (%d open, %d from %s); refusing new connections",
            s->live_sockets, from_address, address.c_str());
  }
  return false;
}

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
  s->acceptor.async_accept(
      asio::make_strand(s->ioc), [s](const error_code& ec, tcp::socket socket) {
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
          http_start(s, std::move(socket), std::move(address));
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
  if (file_write_atomic(path, text + "\n", 0644, error)) return true;
  *error = "write " + path + ": " + *error;
  return false;
}

// The spool folder, emptied of bodies a killed server left behind.
bool prepare_spool(const std::string& dir, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return *error = "create " + dir + ": " + ec.message(), false;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (entry.path().filename().string().rfind("body", 0) == 0)
      std::filesystem::remove(entry.path(), ec);
  }
  return true;
}

}  // namespace

bool serve(const ServeOptions& options, App& app, Hub& hub, std::string* error) {
  Server s(app, hub, options.body_memory);
  s.files_dir = options.files_dir;
  s.max_connections = std::max(1, options.max_connections);
  s.max_per_address = std::max(1, options.max_per_address);
  s.spool_dir = options.spool_dir.empty() ? "." : options.spool_dir;
  if (!prepare_spool(s.spool_dir, error)) return false;
  error_code ec;
  s.tls.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                    ssl::context::no_sslv3 | ssl::context::single_dh_use);
  SSL_CTX_set_min_proto_version(s.tls.native_handle(), TLS1_2_VERSION);
  // TLS 1.2 only with forward-secret AEAD suites; TLS 1.3's are all AEAD.
  if (SSL_CTX_set_cipher_list(s.tls.native_handle(),
                              "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                              "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                              "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305") != 1)
    return *error = "TLS: no usable cipher suite", false;
  SSL_CTX_set_options(s.tls.native_handle(),
                      SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_RENEGOTIATION);
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
  if (!options.listen_file.empty() && !write_listen_file(options.listen_file, where, error))
    return false;

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
  for (int i = 0; i < std::max(1, options.threads); i++)
    threads.emplace_back([&s] { s.ioc.run(); });

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
