// http_post against a scripted HTTPS server on loopback (real TLS, real
// libcurl): replies, error texts and transport failures.

#include "net/http_post.h"

#include <gtest/gtest.h>

#include "platform/tls.h"
#include "tests/support/http_test_server.h"
#include "tests/support/test_pki.h"

namespace halvex {
namespace {

using testing::HttpTestServer;
using testing::TestPki;

class HttpPostTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = new TestPki(*testing::make_test_pki({"127.0.0.1"}, nullptr));
  }
  static void TearDownTestSuite() {
    testing::remove_test_pki(*pki_);
    delete pki_;
  }
  void SetUp() override {
    tls_set_ca_file(pki_->ca_cert_path);
    server_ = std::make_unique<HttpTestServer>(pki_->cert_path, pki_->key_path);
    std::string error;
    ASSERT_TRUE(server_->start(&error)) << error;
  }
  void TearDown() override {
    server_->stop();
    tls_set_ca_file("");
  }

  static TestPki* pki_;
  std::unique_ptr<HttpTestServer> server_;
};

TestPki* HttpPostTest::pki_ = nullptr;

TEST_F(HttpPostTest, PostReplies) {
  std::string long_body(5000, 'e');
  struct Case {
    HttpTestServer::Reply reply;
    std::string expect;  // printed JSON on success, else the error text
    bool ok;
  };
  const Case cases[] = {
      {HttpTestServer::Reply::of(201, R"({"id":7})"), R"({"id":7})", true},
      {HttpTestServer::Reply::of(500, R"({"error":"disk full"})"),
       R"(HTTP 500: {"error":"disk full"})", false},
      {HttpTestServer::Reply::of(200, "<html>"), "Invalid JSON response (HTTP 200)", false},
      {HttpTestServer::Reply::of(200, R"({"a":"x)" + std::string(5000, 'x') + R"("})"),
       "Invalid JSON response (HTTP 200)", false},  // cut at 4095 bytes
      {HttpTestServer::Reply::of(502, long_body), "HTTP 502: " + long_body.substr(0, 501),
       false},  // 511 bytes
      {HttpTestServer::Reply::of(404, std::string("gone\0hidden", 11)), "HTTP 404: gone", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expect);
    server_->push(c.reply);
    std::string error;
    Json reply = http_post(server_->url("/post"), "body", 4, "text/plain", &error);
    EXPECT_EQ(reply != nullptr, c.ok);
    EXPECT_EQ(c.ok ? json_print(reply.get()) : error, c.expect);
  }
  EXPECT_EQ(server_->requests().back().body, "body");

  // Every attempt dropped (libcurl itself retries once on a fresh connection
  // when a kept-alive one dies unanswered).
  server_->set_default(HttpTestServer::Reply::dropped());
  std::string error;
  EXPECT_EQ(http_post(server_->url("/post"), "body", 4, "text/plain", &error), nullptr);
  EXPECT_EQ(error, "WinHttpReceiveResponse failed (52)");
}

TEST_F(HttpPostTest, PostTransportFailuresBeforeAnyTraffic) {
  std::string error;
  EXPECT_EQ(http_post("https//127.0.0.1/x", "b", 1, "text/plain", &error), nullptr);
  EXPECT_EQ(error, "Invalid URL");
  EXPECT_EQ(server_->connections(), 0);

  std::string url = server_->url("/x");
  server_->stop();
  EXPECT_EQ(http_post(url, "b", 1, "text/plain", &error), nullptr);
  EXPECT_EQ(error, "WinHttpSendRequest failed (7)");
}

}  // namespace
}  // namespace halvex
