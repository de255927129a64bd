// Which TLS versions and cipher suites the real recovery-server agrees to:
// TLS 1.3, and TLS 1.2 only with AEAD suites. A client offering nothing
// else must fail the handshake.

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>

#include "tests/integration/server_process.h"

namespace halvex {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;

// Handshakes with a client limited to `version` and, for TLS 1.2 and
// below, to `ciphers`; the negotiated suite, or "" when refused.
std::string handshake(uint16_t port, const std::string& ca, int version, const char* ciphers) {
  asio::io_context ioc;
  asio::ssl::context ctx(asio::ssl::context::tls_client);
  ctx.load_verify_file(ca);
  ctx.set_verify_mode(asio::ssl::verify_peer);
  SSL_CTX_set_min_proto_version(ctx.native_handle(), version);
  SSL_CTX_set_max_proto_version(ctx.native_handle(), version);
  SSL_CTX_set_security_level(ctx.native_handle(), 0);  // let the client offer old suites
  if (ciphers) SSL_CTX_set_cipher_list(ctx.native_handle(), ciphers);
  beast::ssl_stream<beast::tcp_stream> s(ioc, ctx);
  SSL_set_tlsext_host_name(s.native_handle(), "localhost");
  beast::error_code ec;
  beast::get_lowest_layer(s).expires_after(std::chrono::seconds(10));
  beast::get_lowest_layer(s).connect(
      asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), port), ec);
  if (!ec) s.handshake(asio::ssl::stream_base::client, ec);
  if (ec) return "";
  return SSL_get_cipher_name(s.native_handle());
}

using TlsSuitesTest = testing::ServerTest;

TEST_F(TlsSuitesTest, OnlyTls13AndTls12AeadSuitesAreAccepted) {
  ASSERT_TRUE(serve({}));
  struct Case {
    int version;
    const char* ciphers;
    bool accepted;
  };
  const Case cases[] = {
      {TLS1_3_VERSION, nullptr, true},
      {TLS1_2_VERSION, "ECDHE+AESGCM:ECDHE+CHACHA20", true},
      {TLS1_2_VERSION, "ECDHE+AES+SHA256:ECDHE+AES+SHA384:ECDHE+AES+SHA1", false},  // CBC
      {TLS1_2_VERSION, "AES128-GCM-SHA256:AES256-GCM-SHA384", false},  // no forward secrecy
      {TLS1_1_VERSION, "ALL", false},
  };
  for (const Case& c : cases) {
    std::string suite = handshake(server_.port(), server_.ca_file(), c.version, c.ciphers);
    EXPECT_EQ(!suite.empty(), c.accepted)
        << std::hex << c.version << " " << (c.ciphers ? c.ciphers : "") << ": " << suite;
  }
}

}  // namespace
}  // namespace halvex
