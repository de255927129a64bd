// Checks the test-support pieces against an independent client: a small Beast
// WebSocket client that verifies the server the way the agent must (only the
// test CA is trusted, host name checked by OpenSSL). Only what the agent's
// own client tests (link/ws_client_test) cannot show is checked here: the
// frames are standard ones, sends reach the numbered connection, fragments
// really are fragments, a silent client cannot hang stop(), and the
// certificates name what they should.

#include "tests/support/test_pki.h"
#include "tests/support/ws_test_server.h"

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace halvex::testing {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace ssl = asio::ssl;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using error_code = beast::error_code;
using namespace std::chrono_literals;

constexpr auto kWait = 5s;

// A client for one connection. Every operation is asynchronous under a
// deadline, so a broken server fails the test instead of hanging it.
class Client {
 public:
  Client(const std::string& ca_file, const std::string& host)
      : host_(host), ctx_(ssl::context::tls_client) {
    error_code ec;
    ctx_.load_verify_file(ca_file, ec);  // the test CA only, no system store
    EXPECT_FALSE(ec) << ec.message();
    ctx_.set_verify_mode(ssl::verify_peer);
    ws_.emplace(ioc_, ctx_);
  }

  error_code connect(uint16_t port, const std::string& target = "/ws",
                     const std::string& user_agent = "halvex-test/1") {
    SSL* ssl = ws_->next_layer().native_handle();
    error_code ec;
    asio::ip::make_address(host_, ec);
    if (ec) {  // a DNS name: SNI plus the host-name check
      SSL_set_tlsext_host_name(ssl, host_.c_str());
      SSL_set1_host(ssl, host_.c_str());
    } else {  // an IP literal: checked against iPAddress entries
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host_.c_str());
    }
    tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
    ec = run([&](auto h) { beast::get_lowest_layer(*ws_).async_connect(endpoint, h); });
    if (ec) return ec;
    beast::get_lowest_layer(*ws_).socket().set_option(tcp::no_delay(true), ec);
    ec = run([&](auto h) { ws_->next_layer().async_handshake(ssl::stream_base::client, h); });
    if (ec) return ec;
    ws_->set_option(websocket::stream_base::decorator([user_agent](websocket::request_type& req) {
      req.set(beast::http::field::user_agent, user_agent);
    }));
    return run([&](auto h) { ws_->async_handshake(host_, target, h); });
  }

  // X509_V_OK, or why OpenSSL refused the server's certificate.
  long verify_result() { return SSL_get_verify_result(ws_->next_layer().native_handle()); }

  error_code write(const std::string& data, bool binary = false) {
    ws_->binary(binary);
    return run([&](auto h) { ws_->async_write(asio::buffer(data), h); });
  }

  error_code read(std::string* data, bool* binary = nullptr) {
    beast::flat_buffer buffer;
    error_code ec = run([&](auto h) { ws_->async_read(buffer, h); });
    *data = beast::buffers_to_string(buffer.data());
    if (binary != nullptr) *binary = ws_->got_binary();
    return ec;
  }

  // One read_some into a caller buffer: Beast never returns bytes of two
  // frames from one call, so the chunk sizes bound the frame sizes.
  error_code read_some(std::vector<char>* buffer, size_t* n) {
    *n = 0;
    return run([&](auto h) {
      ws_->async_read_some(asio::buffer(*buffer), [n, h](error_code ec, size_t got) mutable {
        *n = got;
        h(ec);
      });
    });
  }

  error_code close(uint16_t code = 1000) {
    return run([&](auto h) { ws_->async_close(websocket::close_reason(code), h); });
  }

  websocket::stream<beast::ssl_stream<beast::tcp_stream>>& ws() { return *ws_; }

 private:
  // Starts one operation and runs it to completion or to the deadline; on the
  // deadline it closes the socket and lets the aborted handler run, so that
  // nothing still refers to this frame afterwards.
  template <typename Start>
  error_code run(Start start) {
    std::optional<error_code> result;
    start([&result](error_code ec, auto&&...) { result = ec; });
    ioc_.restart();
    ioc_.run_for(kWait);
    if (!result) {
      beast::get_lowest_layer(*ws_).close();
      ioc_.restart();
      ioc_.run();
      return asio::error::timed_out;
    }
    return *result;
  }

  std::string host_;
  asio::io_context ioc_;
  ssl::context ctx_;
  std::optional<websocket::stream<beast::ssl_stream<beast::tcp_stream>>> ws_;
};

class WsTestServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    auto pki = make_test_pki({"localhost", "127.0.0.1"}, &error);
    ASSERT_TRUE(pki) << error;
    pki_ = *pki;
    server_.emplace(pki_.cert_path, pki_.key_path);
  }

  void TearDown() override {
    server_.reset();  // stops before the key files go
    remove_test_pki(pki_);
  }

  void start() {
    std::string error;
    ASSERT_TRUE(server_->start(&error)) << error;
    ASSERT_NE(server_->port(), 0);
  }

  TestPki pki_;
  std::optional<WsTestServer> server_;
};

TEST(TestPkiTest, FilesModesAndRefusedNames) {
  std::string error;
  auto pki = make_test_pki({"localhost"}, &error);
  ASSERT_TRUE(pki) << error;
  struct stat st;
  ASSERT_EQ(stat(pki->dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat(pki->key_path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(pki->ca_cert_path, pki->dir + "/ca.pem");
  EXPECT_EQ(pki->cert_path, pki->dir + "/server.pem");
  EXPECT_EQ(stat(pki->ca_cert_path.c_str(), &st), 0);
  EXPECT_EQ(stat(pki->cert_path.c_str(), &st), 0);
  remove_test_pki(*pki);
  EXPECT_NE(stat(pki->dir.c_str(), &st), 0);

  EXPECT_FALSE(make_test_pki({}, &error));
  EXPECT_EQ(error, "make_test_pki: no names");
  EXPECT_FALSE(make_test_pki({"localhost", ""}, &error));
  EXPECT_EQ(error, "make_test_pki: empty name");
}

TEST_F(WsTestServerTest, StartFailsOnMissingCertificate) {
  WsTestServer bad("/nonexistent/server.pem", pki_.key_path);
  std::string error;
  EXPECT_FALSE(bad.start(&error));
  EXPECT_EQ(error.rfind("load certificate /nonexistent/server.pem: ", 0), 0u) << error;
  bad.stop();  // harmless without a running server
}

// Text and binary keep their kind both ways, and sends reach the numbered
// connection (by default the newest) and no other.
TEST_F(WsTestServerTest, MessagesKeepTheirKindAndConnection) {
  start();
  Client first(pki_.ca_cert_path, "localhost");
  Client second(pki_.ca_cert_path, "localhost");
  ASSERT_FALSE(first.connect(server_->port()));
  ASSERT_TRUE(server_->wait_for_connections(1, kWait));
  ASSERT_FALSE(second.connect(server_->port()));
  ASSERT_TRUE(server_->wait_for_connections(2, kWait));
  const std::string bytes("\x00\x01\xff\x7f", 4);
  ASSERT_FALSE(first.write("hello", false));
  ASSERT_EQ(server_->wait_for_messages(1, kWait).size(), 1u);
  ASSERT_FALSE(second.write(bytes, true));
  auto got = server_->wait_for_messages(2, kWait);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].conn, 1);
  EXPECT_FALSE(got[0].binary);
  EXPECT_EQ(got[0].data, "hello");
  EXPECT_EQ(got[1].conn, 2);
  EXPECT_TRUE(got[1].binary);
  EXPECT_EQ(got[1].data, bytes);

  EXPECT_FALSE(server_->send_text("x", 3));
  ASSERT_TRUE(server_->send_text("to first", 1));
  ASSERT_TRUE(server_->send_binary(bytes));
  std::string data;
  bool binary = true;
  ASSERT_FALSE(first.read(&data, &binary));
  EXPECT_EQ(data, "to first");
  EXPECT_FALSE(binary);
  ASSERT_FALSE(second.read(&data, &binary));
  EXPECT_EQ(data, bytes);
  EXPECT_TRUE(binary);
}

TEST_F(WsTestServerTest, FragmentedMessageArrivesWhole) {
  start();
  Client client(pki_.ca_cert_path, "localhost");
  ASSERT_FALSE(client.connect(server_->port()));
  std::string message(70000, '\0');
  for (size_t i = 0; i < message.size(); ++i) message[i] = static_cast<char>('a' + i % 26);
  constexpr size_t kFrame = 1000;
  ASSERT_TRUE(server_->wait_for_connections(1, kWait));
  ASSERT_TRUE(server_->send_fragmented(message, kFrame));

  std::string got;
  std::vector<char> buffer(100000);
  size_t chunks = 0, largest = 0;
  do {
    size_t n = 0;
    ASSERT_FALSE(client.read_some(&buffer, &n));
    got.append(buffer.data(), n);
    largest = std::max(largest, n);
    ++chunks;
  } while (!client.ws().is_message_done());
  EXPECT_TRUE(got == message) << "got " << got.size() << " bytes";
  EXPECT_TRUE(client.ws().got_text());
  // A single 70,000-byte frame would come back in TLS-record-sized pieces.
  EXPECT_LE(largest, kFrame);
  EXPECT_GE(chunks, message.size() / kFrame);
}

// A client that never answers the close frame is cut after the grace time,
// so a test whose client hangs still ends.
TEST_F(WsTestServerTest, StopCutsSilentClient) {
  start();
  Client client(pki_.ca_cert_path, "localhost");
  ASSERT_FALSE(client.connect(server_->port()));
  ASSERT_TRUE(server_->wait_for_connections(1, kWait));
  auto begun = std::chrono::steady_clock::now();
  server_->stop();  // the client runs nothing meanwhile
  EXPECT_LT(std::chrono::steady_clock::now() - begun, 4s);
  EXPECT_EQ(server_->open_connections(), 0);
  std::string data;
  EXPECT_TRUE(client.read(&data));  // the close frame, then a dead socket
}

// Same CA, certificate for another host: only the name check can refuse it,
// and it does; the same certificate verifies for its own name.
TEST_F(WsTestServerTest, OtherHostNameFailsVerification) {
  std::string error;
  auto other = make_test_pki({"other.example"}, &error);
  ASSERT_TRUE(other) << error;
  WsTestServer server(other->cert_path, other->key_path);
  ASSERT_TRUE(server.start(&error)) << error;

  Client wrong(other->ca_cert_path, "localhost");
  error_code ec = wrong.connect(server.port());
  EXPECT_EQ(ec.category(), asio::error::get_ssl_category()) << ec.message();
  EXPECT_EQ(wrong.verify_result(), X509_V_ERR_HOSTNAME_MISMATCH);

  Client right(other->ca_cert_path, "other.example");
  EXPECT_FALSE(right.connect(server.port()));
  EXPECT_TRUE(server.wait_for_connections(1, kWait));
  EXPECT_FALSE(right.close());
  server.stop();
  remove_test_pki(*other);
}

}  // namespace
}  // namespace halvex::testing
