// One TLS trust for the link and the HTTP client: whatever selects the
// anchors (the environment's SSL_CERT_FILE, a pinned CA given as a file or
// as the PEM text a SERVER_CA_FILE build embeds), the WebSocket link to the
// real reference server and an upload request to it get the same answer.
// Also checks that the build's generator embeds a PEM file byte for byte.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <thread>

#include "platform/http.h"
#include "platform/tls.h"
#include "platform/ws_transport.h"
#include "service/server_ca.h"
#include "tests/integration/server_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_pki.h"

namespace halvex {
namespace {

using testing::read_text_file;

class TlsTrustTest : public testing::ServerTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(serve({}));
    std::string error;
    std::optional<testing::TestPki> other = testing::make_test_pki({"localhost"}, &error);
    ASSERT_TRUE(other) << error;
    other_ = *other;
  }
  void TearDown() override {
    ::unsetenv("SSL_CERT_FILE");
    ::unsetenv("SSL_CERT_DIR");
    tls_set_ca_file("");
    testing::remove_test_pki(other_);
  }

  bool link_connects(std::string* cause) {
    std::unique_ptr<WsTransport> t = ws_transport_create();
    WsEndpoint ep;
    ep.host = "localhost";
    ep.port = server_.port();
    ep.path = "/ws";
    ep.user_agent = "tls-trust-test";
    WsConnectResult r = t->connect(ep);
    t->close();
    *cause = r.cause;
    return r.step == WsConnectStep::kOk;
  }

  // An upload request: answered (whatever the status, the token being
  // made up) means the server's certificate was accepted.
  bool upload_answered(std::string* cause) {
    std::string url =
        "https://localhost:" + std::to_string(server_.port()) + "/upload_chunk?token=t";
    std::string body = "--b\r\n\r\nx\r\n--b--\r\n";
    HttpReply reply;
    bool ok = false;
    // A thread of its own, so no connection kept from an earlier case (made
    // under other anchors) is reused.
    std::thread([&] {
      ok = http_request("POST", url, "tls-trust-test", body.data(), body.size(),
                        "multipart/form-data; boundary=b", HttpTimeouts{}, 4095, &reply, cause);
    }).join();
    return ok && reply.status != 0;
  }

  testing::TestPki other_;
};

TEST_F(TlsTrustTest, LinkAndUploadsTrustTheSameAnchors) {
  const std::string server_ca = server_.ca_file(), other_ca = other_.ca_cert_path;
  struct Case {
    const char* name;
    bool env_server_ca;  // SSL_CERT_FILE names the server's CA
    std::string pinned;  // the CA pinned, "" for none
    bool as_pem;         // pinned as the PEM text a build embeds, not as a file
    bool trusted;
  };
  const Case cases[] = {
      {"system store without the server's CA", false, "", false, false},
      {"SSL_CERT_FILE names the server's CA", true, "", false, true},
      {"embedded server CA", false, server_ca, true, true},
      {"embedded other CA beats SSL_CERT_FILE", true, other_ca, true, false},
      {"CA file of the server", false, server_ca, false, true},
      {"CA file of another CA beats SSL_CERT_FILE", true, other_ca, false, false},
  };
  for (const Case& c : cases) {
    // An empty folder keeps the host's own CA folder out of the picture.
    ::setenv("SSL_CERT_DIR", dir_.path().c_str(), 1);
    ::setenv("SSL_CERT_FILE", (c.env_server_ca ? server_ca : other_ca).c_str(), 1);
    if (c.as_pem)
      tls_set_ca_pem(read_text_file(c.pinned));
    else
      tls_set_ca_file(c.pinned);
    std::string link_cause, upload_cause;
    EXPECT_EQ(link_connects(&link_cause), c.trusted) << c.name << ": " << link_cause;
    EXPECT_EQ(upload_answered(&upload_cause), c.trusted) << c.name << ": " << upload_cause;
    if (!c.trusted) {
      EXPECT_NE(upload_cause.find("failed (60)"), std::string::npos)
          << c.name << ": " << upload_cause;
    }
  }
}

TEST_F(TlsTrustTest, UnusablePinnedCaFailsBothWithoutFallingBack) {
  // The server's CA reachable through the environment must not rescue a
  // pinned CA that cannot be loaded.
  ::setenv("SSL_CERT_FILE", server_.ca_file().c_str(), 1);
  for (const std::string& pem :
       {std::string("not a certificate"), std::string("-----BEGIN CERTIFICATE-----\n")}) {
    tls_set_ca_pem(pem);
    std::string link_cause, upload_cause;
    EXPECT_FALSE(link_connects(&link_cause));
    EXPECT_EQ(link_cause, "no certificate in the built-in CA");
    EXPECT_FALSE(upload_answered(&upload_cause));
    EXPECT_NE(upload_cause.find("no certificate in the built-in CA"), std::string::npos)
        << upload_cause;
  }
  tls_set_ca_file(dir_.file("missing.pem"));
  std::string cause;
  EXPECT_FALSE(link_connects(&cause));
  EXPECT_EQ(cause, "cannot read CA file " + dir_.file("missing.pem"));
  EXPECT_FALSE(upload_answered(&cause));
}

// The source generated from a PEM file (cmake/embed_ca.cmake, as a
// SERVER_CA_FILE build uses it) holds exactly the file's text.
TEST(EmbeddedCaTest, GeneratedSourceHoldsThePemFile) {
  EXPECT_EQ(std::string(kServerCaPem), read_text_file(EMBED_PROBE_PEM));
}

}  // namespace
}  // namespace halvex
