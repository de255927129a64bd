// The WebSocket transport's writes over a throttled loopback link: a real TLS
// WebSocket server behind a rate-limited TCP proxy. The write stall limit is
// shortened to keep the tests quick; the message sizes are chosen so that
// the slow link needs several times that limit.

#include "platform/ws_transport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "platform/tls.h"
#include "tests/support/test_pki.h"
#include "tests/support/throttled_proxy.h"
#include "tests/support/ws_test_server.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing::ThrottledProxy;
using testing::WsTestServer;

constexpr auto kStall = 2000ms;
// The link's rate, each way. A message of kBig bytes needs about 10 s at
// this rate, several stall limits even after the socket buffers on the way
// (some megabytes on loopback) have taken their share. The rate is high
// enough that the kernel's wake-ups of a full socket (after a third of its
// buffer has drained) come well within the limit.
constexpr size_t kRate = 4u << 20;
constexpr size_t kBig = 40u << 20;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Text that shows misplaced or lost bytes: every position differs from its
// neighbours in a 251-byte cycle.
std::string patterned(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>('!' + i % 251 % 90);
  return s;
}

class WsTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    auto pki = testing::make_test_pki({"localhost"}, &error);
    ASSERT_TRUE(pki) << error;
    pki_ = *pki;
    tls_set_ca_file(pki_.ca_cert_path);
    server_ = std::make_unique<WsTestServer>(pki_.cert_path, pki_.key_path);
    ASSERT_TRUE(server_->start(&error)) << error;
    proxy_ = std::make_unique<ThrottledProxy>(server_->port(), kRate, 60s);
    ASSERT_TRUE(proxy_->start(&error)) << error;

    transport_ = ws_transport_create(WsTransportLimits{kStall});
    WsEndpoint ep{true, "localhost", proxy_->port(), "/ws", "halvex-test"};
    WsConnectResult r = transport_->connect(ep);
    ASSERT_EQ(r.step, WsConnectStep::kOk) << r.cause;
    ASSERT_TRUE(server_->wait_for_connections(1, 10s));
  }
  void TearDown() override {
    transport_.reset();
    proxy_.reset();
    server_.reset();
    testing::remove_test_pki(pki_);
  }

  // Reads one whole message; "" when the link fails or closes first.
  std::string read_message() {
    std::string out;
    char buf[4096];
    for (;;) {
      WsReadResult r = transport_->read(buf, sizeof buf);
      if (r.kind == WsReadKind::kError || r.kind == WsReadKind::kClose) return "";
      out.append(buf, r.bytes);
      if (r.kind == WsReadKind::kMessage) return out;
    }
  }

  void expect_stall_after_pause(std::chrono::milliseconds pause_after);

  testing::TestPki pki_;
  std::unique_ptr<WsTestServer> server_;
  std::unique_ptr<ThrottledProxy> proxy_;
  std::unique_ptr<WsTransport> transport_;
};

// A message that takes many stall limits to pass still arrives whole, and
// the link stays up for more traffic both ways.
TEST_F(WsTransportTest, SlowLinkIsNotADeadLink) {
  std::string big = patterned(kBig);
  unsigned long code = 0;
  auto start = Clock::now();
  ASSERT_TRUE(transport_->write_text(big.data(), big.size(), &code)) << "code " << code;
  double took = seconds(Clock::now() - start);
  // Otherwise the buffers on the way hid the slow link and this test shows nothing.
  EXPECT_GT(took, 3 * seconds(kStall)) << "the write took " << took << " s";

  auto got = server_->wait_for_messages(1, 30s);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].data.size(), big.size());
  EXPECT_TRUE(got[0].data == big);

  ASSERT_TRUE(server_->send_text("still-up"));
  EXPECT_EQ(read_message(), "still-up");
  ASSERT_TRUE(transport_->write_text("after", 5, &code));
  got = server_->wait_for_messages(2, 10s);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].data, "after");
  EXPECT_EQ(server_->open_connections(), 1);
}

// A peer that stops reading fails the write about one stall limit after the
// last byte went out: from the pause, not from the start of the write. The
// dead link is dropped, and the receive side sees it.
void WsTransportTest::expect_stall_after_pause(std::chrono::milliseconds pause_after) {
  if (pause_after == 0ms) proxy_->pause_upstream();
  std::thread pauser([&] {
    if (pause_after == 0ms) return;
    std::this_thread::sleep_for(pause_after);
    proxy_->pause_upstream();
  });
  std::string big = patterned(kBig);
  unsigned long code = 0;
  auto start = Clock::now();
  bool ok = transport_->write_text(big.data(), big.size(), &code);
  double took = seconds(Clock::now() - start);
  pauser.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(code, static_cast<unsigned long>(ETIMEDOUT));
  // The kernel wakes a writer of a full socket only after a third of its
  // buffer has drained, so the last progress may come a little before the
  // pause; but a write that kept progressing outlives one limit from its
  // start.
  double limit = seconds(kStall), paused_at = seconds(pause_after);
  EXPECT_GE(took, pause_after == 0ms ? 0.5 * limit : 1.25 * limit);
  EXPECT_LT(took, paused_at + limit + 2.0);
  char buf[16];
  EXPECT_EQ(transport_->read(buf, sizeof buf).kind, WsReadKind::kError);
}

TEST_F(WsTransportTest, PeerThatNeverReadsFailsTheWrite) { expect_stall_after_pause(0ms); }

TEST_F(WsTransportTest, PeerThatStopsReadingMidMessageFailsTheWrite) {
  expect_stall_after_pause(2 * kStall);
}

}  // namespace
}  // namespace halvex
