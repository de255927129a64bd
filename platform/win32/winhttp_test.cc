// The WinHTTP transport and requests under wine, against the TLS test
// servers of tests/support/wine_tls_server.py (started outside wine by a
// ctest fixture): real TLS, a test CA pinned with tls_set_ca_file, and
// servers whose certificates come from another CA or name another host.
// The servers log what reached them, so a test can tell that nothing of a
// refused connection did.

#include <windows.h>
#include <winhttp.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/http.h"
#include "platform/tls.h"
#include "platform/win32/text.h"
#include "platform/ws_transport.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The servers' folder as wine sees it.
std::string server_dir() {
  const char* dir = std::getenv("HALVEX_WINE_TLS_DIR");
  return dir == nullptr ? "" : std::string("Z:") + dir;
}

std::string read_text(const std::string& path) {
  std::ifstream in(std::filesystem::path(win32::to_wide_path(path)), std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

uint16_t port_of(const std::string& name) {
  std::istringstream lines(read_text(server_dir() + "/ports"));
  std::string line;
  while (std::getline(lines, line))
    if (line.rfind(name + "=", 0) == 0)
      return static_cast<uint16_t>(std::stoi(line.substr(name.size() + 1)));
  return 0;
}

// The server's log lines about `path`, without the path.
std::vector<std::string> events(const std::string& path) {
  std::istringstream lines(read_text(server_dir() + "/events.log"));
  std::vector<std::string> out;
  std::string line;
  while (std::getline(lines, line))
    if (line.rfind(path + " ", 0) == 0) out.push_back(line.substr(path.size() + 1));
  return out;
}

bool has_event(const std::string& path, const std::string& event) {
  std::vector<std::string> all = events(path);
  return std::find(all.begin(), all.end(), event) != all.end();
}

// Waits for the server to log `event` about `path` (it logs after the
// client's call has returned).
bool wait_for_event(const std::string& path, const std::string& event) {
  for (auto end = Clock::now() + 5s; Clock::now() < end; std::this_thread::sleep_for(20ms))
    if (has_event(path, event)) return true;
  return false;
}

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>('a' + i % 251 % 26);
  return s;
}

class WinHttpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(server_dir().empty()) << "HALVEX_WINE_TLS_DIR is not set (run through ctest)";
    ASSERT_NE(port_of("good"), 0) << "no test servers in " << server_dir();
    tls_set_ca_file(server_dir() + "/ca.pem");
  }
  void TearDown() override { tls_set_ca_file(""); }

  WsEndpoint endpoint(const std::string& server, const std::string& path) {
    return WsEndpoint{true, "localhost", port_of(server), path, "halvex-test"};
  }
  // A transport connected to the good server at `path`; null when it failed.
  std::unique_ptr<WsTransport> connected(const std::string& path, WsTransportLimits limits = {}) {
    auto t = ws_transport_create(limits);
    WsConnectResult r = t->connect(endpoint("good", path));
    EXPECT_EQ(r.step, WsConnectStep::kOk) << r.code << " " << r.cause;
    return r.step == WsConnectStep::kOk ? std::move(t) : nullptr;
  }
};

// Reads one whole message; "" when the link fails or closes first.
std::string read_message(WsTransport* t, int* pieces = nullptr) {
  std::string out;
  char buf[4096];
  for (;;) {
    WsReadResult r = t->read(buf, sizeof buf);
    if (r.kind == WsReadKind::kError || r.kind == WsReadKind::kClose) return "";
    out.append(buf, r.bytes);
    if (pieces != nullptr) ++*pieces;
    if (r.kind == WsReadKind::kMessage) return out;
  }
}

TEST_F(WinHttpTest, WebSocketEchoesFragmentsAndClosesWith1000) {
  auto t = connected("/echo-basic");
  ASSERT_TRUE(t);
  unsigned long code = 0;
  ASSERT_TRUE(t->write_text("hello", 5, &code)) << code;
  EXPECT_EQ(read_message(t.get()), "hello");
  // Larger than one sent fragment and than one read: goes out in pieces
  // and comes back whole.
  std::string big = pattern(100000);
  ASSERT_TRUE(t->write_text(big.data(), big.size(), &code)) << code;
  EXPECT_EQ(read_message(t.get()), big);
  // Three frames of one message arrive as pieces that end with the last.
  int pieces = 0;
  ASSERT_TRUE(t->write_text("fragments", 9, &code)) << code;
  EXPECT_EQ(read_message(t.get(), &pieces), "abcdefghi");
  EXPECT_GE(pieces, 2);

  t->close();
  EXPECT_TRUE(wait_for_event("/echo-basic", "close 1000"));
  EXPECT_FALSE(t->write_text("late", 4, &code));
  t->close();  // a second close is harmless
}

TEST_F(WinHttpTest, CloseEndsAReadBlockedOnASilentServer) {
  auto t = connected("/silent");
  ASSERT_TRUE(t);
  std::atomic<bool> returned{false};
  WsReadResult result;
  std::thread reader([&] {
    char buf[64];
    result = t->read(buf, sizeof buf);
    returned = true;
  });
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(returned);
  auto start = Clock::now();
  t->close();
  // The silent server never answers the close frame: only dropping the
  // connection can end the read. It must not wait for anything.
  for (auto end = start + 10s; !returned && Clock::now() < end;) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(returned) << "read still blocked after close()";
  reader.join();
  EXPECT_EQ(result.kind, WsReadKind::kError);
}

// A server that stops reading: once the socket buffers are full the write
// makes no progress, and fails at the stall limit rather than hanging.
TEST_F(WinHttpTest, WriteFailsWhenTheLinkTakesNothingForTheStallLimit) {
  auto t = connected("/stall", WsTransportLimits{1000ms});
  ASSERT_TRUE(t);
  std::string big = pattern(64u << 20);  // far more than loopback buffers hold
  unsigned long code = 0;
  auto start = Clock::now();
  ASSERT_FALSE(t->write_text(big.data(), big.size(), &code));
  EXPECT_EQ(code, static_cast<unsigned long>(ERROR_WINHTTP_TIMEOUT));
  // At the limit, not at some later time-out (such as the send time-out
  // of the session, 10 s).
  EXPECT_LT(Clock::now() - start, 4s);
  // The link is dropped with it.
  char buf[16];
  EXPECT_EQ(t->read(buf, sizeof buf).kind, WsReadKind::kError);
}

// Connections that must be refused before any WebSocket data goes out:
// the server may see the upgrade request, never a frame.
TEST_F(WinHttpTest, WebSocketRefusesUntrustedCertificates) {
  struct Case {
    const char* server;
    const char* path;
    bool pinned;
  } cases[] = {
      {"other_ca", "/echo-other-ca", true},
      {"wrong_host", "/echo-wrong-host", true},
      // The system store does not hold the test CA either.
      {"good", "/echo-system-store", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    if (!c.pinned) tls_set_ca_file("");
    auto t = ws_transport_create();
    WsConnectResult r = t->connect(endpoint(c.server, c.path));
    EXPECT_EQ(r.step, WsConnectStep::kSend);
    EXPECT_NE(r.code, 0u);
    // Wine names a certificate WinHTTP refused itself only as a failed
    // secure channel; the pinned CA's own check names the cause.
    EXPECT_TRUE(r.code == ERROR_WINHTTP_SECURE_FAILURE ||
                r.code == ERROR_WINHTTP_SECURE_CHANNEL_ERROR ||
                r.code == ERROR_WINHTTP_SECURE_INVALID_CA)
        << r.code << " " << r.cause;
    unsigned long code = 0;
    EXPECT_FALSE(t->write_text("secret", 6, &code));
    t.reset();
    std::this_thread::sleep_for(100ms);
    for (const std::string& e : events(c.path))
      EXPECT_EQ(e.rfind("frame", 0), std::string::npos) << e;
  }
}

// The built-in CA (SERVER_CA_FILE) is pinned as PEM text.
TEST_F(WinHttpTest, PinnedPemTextIsTheOnlyTrust) {
  struct Case {
    std::string pem;
    WsConnectStep step;
  } cases[] = {
      {read_text(server_dir() + "/ca.pem"), WsConnectStep::kOk},
      {read_text(server_dir() + "/other-ca.pem"), WsConnectStep::kSend},
      {"no certificate here", WsConnectStep::kOpen},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pem.substr(0, 40));
    tls_set_ca_pem(c.pem);
    auto t = ws_transport_create();
    WsConnectResult r = t->connect(endpoint("good", "/echo-pem"));
    EXPECT_EQ(r.step, c.step) << r.code << " " << r.cause;
    if (c.step == WsConnectStep::kOpen) {
      EXPECT_EQ(r.cause, "no certificate in the built-in CA");
    }
  }
}

TEST_F(WinHttpTest, WebSocketConnectFailuresNameTheirStep) {
  // A port nothing listens on: the request cannot be sent.
  auto t = ws_transport_create();
  WsConnectResult r = t->connect(WsEndpoint{true, "localhost", 1, "/", "halvex-test"});
  EXPECT_EQ(r.step, WsConnectStep::kSend);
  EXPECT_EQ(r.code, static_cast<unsigned long>(ERROR_WINHTTP_CANNOT_CONNECT)) << r.cause;
  // An HTTP server that answers the upgrade with a plain reply.
  t = ws_transport_create();
  r = t->connect(endpoint("good", "/upload-not-a-websocket"));
  EXPECT_EQ(r.step, WsConnectStep::kUpgrade) << r.code << " " << r.cause;
  EXPECT_EQ(r.cause, "upgrade refused with HTTP 200");
}

TEST_F(WinHttpTest, CloseDuringConnectEndsIt) {
  auto t = ws_transport_create();
  t->close();
  WsConnectResult r = t->connect(endpoint("good", "/echo-closed-first"));
  EXPECT_NE(r.step, WsConnectStep::kOk);
  EXPECT_FALSE(has_event("/echo-closed-first", "upgrade"));
}

std::string url(const std::string& server, const std::string& path) {
  return "https://localhost:" + std::to_string(port_of(server)) + path;
}

// What a streamed GET's callbacks saw.
struct Streamed {
  bool ok = false;
  std::string error, data;
  int starts = 0;
  long status = 0;
  int64_t length = -2;
};
Streamed stream(const std::string& url, HttpStreamCallbacks callbacks = {}) {
  Streamed s;
  callbacks.on_start = [&](long status, int64_t length) {
    s.starts++;
    s.status = status;
    s.length = length;
    return true;
  };
  callbacks.on_data = [&](const uint8_t* data, size_t n) {
    s.data.append(reinterpret_cast<const char*>(data), n);
    return true;
  };
  s.ok = http_get_stream(url, "halvex-test", HttpTimeouts{}, callbacks, &s.error);
  return s;
}

bool post(const std::string& url, const std::string& body, HttpReply* reply, std::string* error) {
  return http_request("POST", url, "halvex-test", body.data(), body.size(),
                      "application/octet-stream", HttpTimeouts{}, 4095, reply, error);
}
bool get(const std::string& url, uint64_t cap, HttpReply* reply, std::string* error) {
  return http_request("GET", url, "halvex-test", nullptr, 0, "", HttpTimeouts{}, cap, reply, error);
}

// The bytes /download/N serves.
std::string download_pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

TEST_F(WinHttpTest, HttpsUploadsAndDownloads) {
  std::string body = pattern(300000);
  for (int i = 0; i < 2; i++) {  // the second one on the thread's kept connection
    HttpReply reply;
    std::string error;
    ASSERT_TRUE(post(url("good", "/upload-basic"), body, &reply, &error)) << error;
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "{\"received\": 300000, \"method\": \"POST\"}");
  }

  Streamed s = stream(url("good", "/download/200000"));
  ASSERT_TRUE(s.ok) << s.error;
  EXPECT_EQ(s.status, 200);
  EXPECT_EQ(s.length, 200000);
  EXPECT_TRUE(s.data == download_pattern(200000));

  // A reply longer than the cap is cut there and still counts as answered.
  HttpReply reply;
  std::string error;
  ASSERT_TRUE(get(url("good", "/download/100000"), 1000, &reply, &error)) << error;
  EXPECT_EQ(reply.body, download_pattern(1000));
}

// An upload to a server that fails the trust check: the headers may go
// out, the body never does.
TEST_F(WinHttpTest, HttpsChecksTrustBeforeTheBodyGoesOut) {
  struct Case {
    const char* server;
    const char* path;
  } cases[] = {{"other_ca", "/upload-other-ca"}, {"wrong_host", "/upload-wrong-host"}};
  std::string body = pattern(1 << 20);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    HttpReply reply;
    std::string error;
    EXPECT_FALSE(post(url(c.server, c.path), body, &reply, &error));
    EXPECT_EQ(reply.failure, HttpFailure::kSend) << error;
    EXPECT_EQ(error.rfind("send failed (", 0), 0u) << error;
    // The server logs each piece of a body as it arrives.
    std::this_thread::sleep_for(300ms);
    for (const std::string& e : events(c.path)) EXPECT_NE(e.rfind("bytes", 0), 0u) << e;

    Streamed s = stream(url(c.server, "/download/10"));
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.starts, 0);
  }
}

TEST_F(WinHttpTest, StreamedGetFollowsOnlyTheRedirectsItsCallerAllows) {
  std::string from, target;
  HttpStreamCallbacks callbacks;
  callbacks.max_redirects = 1;
  callbacks.on_redirect = [&](const std::string& f,
                              const std::string& t) -> std::optional<std::string> {
    from = f;
    target = t;
    return t;
  };
  Streamed s = stream(url("good", "/redirect"), callbacks);
  ASSERT_TRUE(s.ok) << s.error;
  EXPECT_EQ(from, url("good", "/redirect"));
  EXPECT_EQ(target, url("good", "/download/10"));  // made absolute
  EXPECT_EQ(s.status, 200);
  EXPECT_EQ(s.data, download_pattern(10));

  callbacks.on_redirect = [](const std::string&, const std::string&) -> std::optional<std::string> {
    return {};
  };
  s = stream(url("good", "/redirect"), callbacks);
  EXPECT_FALSE(s.ok);
  EXPECT_EQ(s.error, "redirect to " + url("good", "/download/10") + " refused");

  // Without redirects allowed, a redirect is a reply like any other.
  callbacks.max_redirects = 0;
  s = stream(url("good", "/redirect"), callbacks);
  ASSERT_TRUE(s.ok) << s.error;
  EXPECT_EQ(s.status, 302);
}

TEST_F(WinHttpTest, HttpRefusesUnusableUrls) {
  for (const char* bad : {"https:///upload", "ftp://localhost/x", "localhost/upload", ""}) {
    SCOPED_TRACE(bad);
    HttpReply reply;
    std::string error;
    EXPECT_FALSE(get(bad, 100, &reply, &error));
    EXPECT_EQ(reply.failure, HttpFailure::kUrl);
    EXPECT_EQ(error, "Invalid URL");
  }
  HttpReply reply;
  std::string error;
  EXPECT_FALSE(get("https://localhost:1/x", 100, &reply, &error));
  EXPECT_EQ(reply.failure, HttpFailure::kSend);
  EXPECT_EQ(reply.failure_code, ERROR_WINHTTP_CANNOT_CONNECT) << error;
}

}  // namespace
}  // namespace halvex
