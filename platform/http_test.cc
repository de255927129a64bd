// platform/http against a scripted HTTPS server on loopback: real TLS with a
// throwaway CA, real libcurl, real sockets.

#include "platform/http.h"

#include <gtest/gtest.h>

#include "platform/tls.h"
#include "tests/support/http_test_server.h"
#include "tests/support/test_pki.h"

namespace halvex {
namespace {

using testing::HttpTestServer;
using testing::TestPki;
using Framing = HttpTestServer::Reply::Framing;

constexpr const char* kAgent = "halvex-http-test/1";

HttpTestServer::Reply reply_of(int status, std::string body, Framing framing = Framing::kLength) {
  HttpTestServer::Reply r;
  r.status = status;
  r.body = std::move(body);
  r.framing = framing;
  return r;
}

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
  return s;
}

class HttpTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = new TestPki(*testing::make_test_pki({"127.0.0.1"}, nullptr));
    other_ = new TestPki(*testing::make_test_pki({"127.0.0.1"}, nullptr));
  }
  static void TearDownTestSuite() {
    for (TestPki* p : {pki_, other_}) {
      testing::remove_test_pki(*p);
      delete p;
    }
  }
  void SetUp() override {
    tls_set_ca_file(pki_->ca_cert_path);
    start(*pki_);
  }
  void TearDown() override {
    server_->stop();
    tls_set_ca_file("");
  }
  void start(const TestPki& pki) {
    if (server_) server_->stop();
    server_ = std::make_unique<HttpTestServer>(pki.cert_path, pki.key_path);
    std::string error;
    ASSERT_TRUE(server_->start(&error)) << error;
  }

  bool get(const std::string& url, HttpReply* reply, std::string* error, uint64_t cap = 1 << 20,
           HttpTimeouts timeouts = {}) {
    return http_request("GET", url, kAgent, nullptr, 0, "", timeouts, cap, reply, error);
  }

  // A GET that fails at `stage` with libcurl's `code`.
  void expect_failure(const std::string& url, HttpFailure stage, long code,
                      HttpTimeouts timeouts = {}, uint64_t cap = 1 << 20) {
    HttpReply reply;
    std::string error;
    EXPECT_FALSE(get(url, &reply, &error, cap, timeouts));
    EXPECT_EQ(reply.failure, stage) << error;
    EXPECT_EQ(reply.failure_code, code) << error;
  }

  // A streamed GET; what the callbacks saw.
  struct Streamed {
    bool ok = false;
    std::string error;
    int starts = 0;
    long status = 0;
    int64_t length = 0;
    std::string data;
  };
  Streamed stream(const std::string& url, bool accept = true) {
    Streamed s;
    HttpStreamCallbacks cb;
    cb.on_start = [&](long status, int64_t length) {
      s.starts++;
      s.status = status;
      s.length = length;
      return accept;
    };
    cb.on_data = [&](const uint8_t* data, size_t n) {
      s.data.append(reinterpret_cast<const char*>(data), n);
      return true;
    };
    s.ok = http_get_stream(url, kAgent, HttpTimeouts{}, cb, &s.error);
    return s;
  }

  static TestPki* pki_;
  static TestPki* other_;
  std::unique_ptr<HttpTestServer> server_;
};

TestPki* HttpTest::pki_ = nullptr;
TestPki* HttpTest::other_ = nullptr;

TEST_F(HttpTest, PostSendsBodyHeadersAndKeepsTheConnection) {
  std::string body = pattern(3 << 20);  // large enough for libcurl to want Expect: 100-continue
  server_->push(reply_of(201, "first"));
  server_->push(reply_of(200, "second"));
  HttpReply reply;
  std::string error;
  ASSERT_TRUE(http_request("POST", server_->url("/up?x=1"), kAgent, body.data(), body.size(),
                           "application/x-test", HttpTimeouts{}, 100, &reply, &error))
      << error;
  EXPECT_EQ(reply.status, 201);
  EXPECT_EQ(reply.body, "first");
  ASSERT_TRUE(get(server_->url("/next"), &reply, &error)) << error;
  EXPECT_EQ(reply.body, "second");

  auto requests = server_->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].target, "/up?x=1");
  EXPECT_EQ(requests[0].body, body);
  EXPECT_EQ(requests[0].header("Content-Type"), "application/x-test");
  EXPECT_EQ(requests[0].header("User-Agent"), kAgent);
  EXPECT_EQ(requests[0].header("Expect"), "");
  EXPECT_EQ(requests[1].method, "GET");
  EXPECT_EQ(requests[1].header("Content-Type"), "");
  EXPECT_EQ(server_->connections(), 1);  // the second request reused the first's connection
}

TEST_F(HttpTest, ReplyIsCappedAndTheNextRequestStillWorks) {
  const uint64_t cap = 4095;
  for (size_t size : {size_t{0}, size_t{4094}, size_t{4095}, size_t{4096}, size_t{1} << 20}) {
    SCOPED_TRACE(size);
    std::string body = pattern(size);
    server_->push(reply_of(200, body));
    HttpReply reply;
    std::string error;
    ASSERT_TRUE(get(server_->url("/big"), &reply, &error, cap)) << error;
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, body.substr(0, cap));
  }
}

TEST_F(HttpTest, InvalidUrlsSendNothing) {
  std::string port = std::to_string(server_->port());
  for (std::string url :
       {std::string(""), std::string("not a url"), "127.0.0.1:" + port + "/x",
        "ftp://127.0.0.1:" + port + "/x", std::string("https:///x"),
        std::string("https://127.0.0.1:99999/x"), std::string("file:///etc/hosts"),
        "https://127.0.0.1:" + port + std::string("/a\0b", 4)}) {
    SCOPED_TRACE(url);
    HttpReply reply;
    std::string error;
    EXPECT_FALSE(get(url, &reply, &error));
    EXPECT_EQ(error, "Invalid URL");
    EXPECT_EQ(reply.failure, HttpFailure::kUrl);
    Streamed s = stream(url);
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.error, "Invalid URL");
  }
  EXPECT_EQ(server_->connections(), 0);
}

TEST_F(HttpTest, FailuresReportTheirStage) {
  HttpTestServer::Reply drop;
  drop.drop = true;
  HttpTestServer::Reply slow = reply_of(200, "late");
  slow.delay_ms = 10000;  // far beyond the receive limit below; stop() ends it
  HttpTimeouts quick;
  quick.receive_ms = 300;

  server_->push(drop);
  expect_failure(server_->url("/drop"), HttpFailure::kReceive, 52);  // CURLE_GOT_NOTHING
  server_->push(slow);
  expect_failure(server_->url("/slow"), HttpFailure::kReceive, 28, quick, 100);  // timed out
  server_->stop();
  expect_failure(server_->url("/closed"), HttpFailure::kSend, 7);  // CURLE_COULDNT_CONNECT
}

TEST_F(HttpTest, ServerOfAnotherCaOrNameIsRefused) {
  // The certificate names only 127.0.0.1. 60: CURLE_PEER_FAILED_VERIFICATION.
  expect_failure("https://localhost:" + std::to_string(server_->port()) + "/", HttpFailure::kSend,
                 60);
  start(*other_);
  expect_failure(server_->url("/"), HttpFailure::kSend, 60);
  EXPECT_FALSE(stream(server_->url("/")).ok);
  EXPECT_TRUE(server_->requests().empty());
}

TEST_F(HttpTest, StreamReportsStartAndWholeBodiesOnly) {
  const std::string body = pattern(300000);
  struct Case {
    const char* name;
    HttpTestServer::Reply reply;
    bool ok;
    int64_t length;
  };
  auto cut = [&](Framing framing) {
    HttpTestServer::Reply r = reply_of(200, body, framing);
    r.cut_after = body.size() / 2;
    return r;
  };
  const Case cases[] = {
      {"length", reply_of(200, body), true, 300000},
      {"chunked", reply_of(200, body, Framing::kChunked), true, -1},
      {"until close", reply_of(200, body, Framing::kClose), true, -1},
      {"empty", reply_of(200, ""), true, 0},
      {"not found", reply_of(404, "missing"), true, 7},
      {"length cut", cut(Framing::kLength), false, 300000},
      {"chunked cut", cut(Framing::kChunked), false, -1},
      {"close without close_notify", cut(Framing::kClose), false, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server_->push(c.reply);
    Streamed s = stream(server_->url("/file"));
    EXPECT_EQ(s.ok, c.ok) << s.error;
    EXPECT_EQ(s.starts, 1);
    EXPECT_EQ(s.status, c.reply.status);
    EXPECT_EQ(s.length, c.length);
    if (c.ok) {
      EXPECT_EQ(s.data, c.reply.body);
    }
  }

  server_->push(reply_of(404, "missing"));
  Streamed refused = stream(server_->url("/file"), false);
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(refused.error, "aborted");
  EXPECT_EQ(refused.data, "");
}

}  // namespace
}  // namespace halvex
