// The admin API client of the command-line tools (declared in net.h).

#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <chrono>

#include "server/net/net.h"
#include "server/net/beast.h"

namespace halvex::server {
namespace {

using namespace net;  // the Beast names

// One exchange as a chain of asynchronous steps on a private io_context; the
// first failure ends it and is kept.
struct Exchange {
  const ClientRequest& rq;
  asio::io_context ioc;
  ssl::context tls{ssl::context::tls_client};
  tcp::resolver resolver{ioc};
  std::optional<beast::ssl_stream<beast::tcp_stream>> stream;
  beast::flat_buffer buf;
  http::request<http::string_body> req;
  http::response_parser<http::string_body> res;
  std::string error;
  bool done = false;

  explicit Exchange(const ClientRequest& r) : rq(r) {}

  void fail(const std::string& step, const error_code& ec) {
    if (error.empty())
      error = step + " " + rq.host + ":" + std::to_string(rq.port) + ": " + ec.message();
  }

  bool setup() {
    error_code ec;
    tls.set_verify_mode(ssl::verify_peer, ec);
    if (!ec) tls.load_verify_file(rq.ca_file, ec);
    if (ec) {
      error = "load CA " + rq.ca_file + ": " + ec.message();
      return false;
    }
    SSL_CTX_set_min_proto_version(tls.native_handle(), TLS1_2_VERSION);
    stream.emplace(ioc, tls);
    SSL* ssl = stream->native_handle();
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    error_code addr_ec;
    asio::ip::make_address(rq.host, addr_ec);
    if (!addr_ec) {
      if (X509_VERIFY_PARAM_set1_ip_asc(param, rq.host.c_str()) != 1) {
        error = "verify address " + rq.host + ": not an address";
        return false;
      }
    } else {
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      if (X509_VERIFY_PARAM_set1_host(param, rq.host.c_str(), 0) != 1 ||
          SSL_set_tlsext_host_name(ssl, rq.host.c_str()) != 1) {
        error = "verify host " + rq.host + ": rejected";
        return false;
      }
    }
    req.method_string(rq.method);
    req.target(rq.target);
    req.version(11);
    req.set(http::field::host, rq.host);
    req.set(http::field::user_agent, "recovery-server-cli");
    if (!rq.authorization.empty()) req.set(http::field::authorization, rq.authorization);
    if (!rq.content_type.empty()) req.set(http::field::content_type, rq.content_type);
    if (!rq.cookie.empty()) req.set(http::field::cookie, rq.cookie);
    for (const auto& [name, value] : rq.headers) req.set(name, value);
    req.body() = rq.body;
    req.keep_alive(false);
    req.prepare_payload();
    // An events page may carry one whole report of up to 64 MiB with its
    // envelope around it.
    res.body_limit(80u << 20);
    res.skip(rq.method == "HEAD");  // the answer to HEAD has a length but no body
    return true;
  }

  void run() {
    beast::get_lowest_layer(*stream).expires_after(std::chrono::seconds(rq.timeout_seconds));
    resolver.async_resolve(rq.host, std::to_string(rq.port),
                           [this](const error_code& ec, tcp::resolver::results_type results) {
                             if (ec) return fail("resolve", ec);
                             beast::get_lowest_layer(*stream).async_connect(
                                 results, [this](const error_code& ec2, const tcp::endpoint&) {
                                   if (ec2) return fail("connect", ec2);
                                   handshake();
                                 });
                           });
  }

  void handshake() {
    stream->async_handshake(ssl::stream_base::client, [this](const error_code& ec) {
      if (ec) return fail("TLS handshake with", ec);
      http::async_write(*stream, req, [this](const error_code& ec2, size_t) {
        if (ec2) return fail("send to", ec2);
        http::async_read(*stream, buf, res, [this](const error_code& ec3, size_t) {
          if (ec3) return fail("read from", ec3);
          done = true;
          // The answer is in; the goodbye gets a moment, no more.
          beast::get_lowest_layer(*stream).expires_after(std::chrono::seconds(2));
          stream->async_shutdown([](const error_code&) {});
        });
      });
    });
  }
};

}  // namespace

std::optional<ClientReply> https_request(const ClientRequest& request, std::string* error) {
  Exchange x(request);
  if (!x.setup()) {
    *error = x.error;
    return std::nullopt;
  }
  x.run();
  x.ioc.run_for(std::chrono::seconds(request.timeout_seconds));
  if (!x.done) {
    *error = x.error.empty()
                 ? "request to " + request.host + ":" + std::to_string(request.port) + ": timed out"
                 : x.error;
    return std::nullopt;
  }
  ClientReply reply;
  reply.status = static_cast<int>(x.res.get().result_int());
  reply.content_type = std::string(x.res.get()[http::field::content_type]);
  for (const auto& field : x.res.get())
    reply.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  reply.body = std::move(x.res.get().body());
  return reply;
}

}  // namespace halvex::server
