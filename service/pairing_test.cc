// Link loss against a real TLS WebSocket server: only the end of the live
// connection counts as losing the link.

#include "service/pairing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "core/log.h"
#include "link/auth.h"
#include "link/proto.h"
#include "link/ws_client.h"
#include "link/ws_client_testing.h"
#include "platform/clock_testing.h"
#include "platform/tls.h"
#include "service/config.h"
#include "service/tray.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_pki.h"
#include "tests/support/ws_test_server.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;

// The agent's link to a real TLS WebSocket server on loopback, with an
// empty data folder (no key stored: a reconnect would log at once).
class PairingLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    pki_ = *testing::make_test_pki({"localhost"}, &error);
    server_ = std::make_unique<testing::WsTestServer>(pki_.cert_path, pki_.key_path);
    ASSERT_TRUE(server_->start(&error)) << error;
    tls_set_ca_file(pki_.ca_cert_path);
    init_data_paths_from(data_.path(), data_.path());
    log_open(data_.file("service.log"));
    proto_init();
    pairing_set_server("localhost:" + std::to_string(server_->port()));
  }
  void TearDown() override {
    set_should_reconnect(false);
    ws_shutdown();
    ws_set_transport_factory_for_testing(nullptr);
    clock_set_wait_observer_for_testing({});
    clock_set_time_scale_for_testing(100);
    log_close();
    server_->stop();
    testing::remove_test_pki(pki_);
  }

  testing::TestPki pki_;
  std::unique_ptr<testing::WsTestServer> server_;
  testing::TempDir data_;
};

TEST_F(PairingLinkTest, EndOfAReplacedConnectionIsNotALinkLoss) {
  testing::WsTestServer& server = *server_;
  register_handler("_disconnected", on_link_lost);
  set_should_reconnect(true);
  auth_set_identity(5, "eve");
  tray_set_status("Connected \u2014 eve");

  std::thread first([] { ws_run(service_url()); });
  ASSERT_TRUE(server.wait_for_connections(1, 10s));
  std::thread second([] { ws_run(service_url()); });  // replaces the first
  ASSERT_TRUE(server.wait_for_connections(2, 10s));
  first.join();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(auth_user_id(), 5);
  EXPECT_EQ(tray_status(), "Connected \u2014 eve");
  EXPECT_EQ(testing::read_text_file(data_.file("service.log")).find("reconnect:"),
            std::string::npos);

  // The live connection's end is a loss: identity cleared, tray told.
  set_should_reconnect(false);
  ws_close();
  second.join();
  EXPECT_EQ(auth_user_id(), 0);
  EXPECT_EQ(tray_status(), "Reconnecting...");
  EXPECT_EQ(tray_tooltip(), "Halvex Service \u2014 Reconnecting...");
}

// Every letter of the alphabet is reachable, each from the low five bits
// of its byte whatever the high bits are.
TEST(PairingTest, CodeTakesEachLetterFromTheLowFiveBits) {
  const std::string alphabet = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  for (unsigned high = 0; high < 8; high++) {
    std::string all;
    for (unsigned low = 0; low < 32; low += kPairCodeLength) {
      unsigned char bytes[kPairCodeLength];
      for (size_t i = 0; i < kPairCodeLength; i++)
        bytes[i] = static_cast<unsigned char>(high << 5 | ((low + i) & 31));
      all += pair_code_from_bytes(bytes);
    }
    EXPECT_EQ(all.substr(0, 32), alphabet) << "high bits " << high;
  }
}

// A gate a connection thread waits at until the test opens it.
struct Gate {
  std::mutex mu;
  std::condition_variable cv;
  bool open = false;
  void wait() {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return open; });
  }
  void release() {
    std::lock_guard<std::mutex> lock(mu);
    open = true;
    cv.notify_all();
  }
};
Gate g_connect_gate;  // the first run's connect waits here
Gate g_start_gate;    // the second run's start waits here
std::atomic<int> g_transports{0};

class GatedTransport final : public WsTransport {
 public:
  explicit GatedTransport(bool gate_connect) : gate_connect_(gate_connect) {}
  WsConnectResult connect(const WsEndpoint& ep) override {
    if (gate_connect_) g_connect_gate.wait();
    return real_->connect(ep);
  }
  WsReadResult read(char* buf, size_t cap) override { return real_->read(buf, cap); }
  bool write_text(const char* data, size_t len, unsigned long* code) override {
    return real_->write_text(data, len, code);
  }
  void close() override { real_->close(); }

 private:
  bool gate_connect_;
  std::unique_ptr<WsTransport> real_ = ws_transport_create();
};

// The connection begun at start-up comes up only after Login has started
// its own connection thread, and that thread gets going late. The pairing
// request must still go out on pairing's own connection, the one that stays
// open, never on the older one that the new run closes.
TEST_F(PairingLinkTest, RequestGoesOutOnPairingsOwnConnection) {
  testing::WsTestServer& server = *server_;
  clock_set_time_scale_for_testing(10);
  ws_set_transport_factory_for_testing([]() -> std::unique_ptr<WsTransport> {
    int n = ++g_transports;
    if (n == 2) g_start_gate.wait();  // the run's record is made before it takes its place
    return std::make_unique<GatedTransport>(n == 1);
  });

  start_connection_thread();  // start-up's connection, held in its connect
  while (g_transports < 1) std::this_thread::sleep_for(1ms);
  start_pairing();
  while (g_transports < 2) std::this_thread::sleep_for(1ms);
  g_connect_gate.release();  // the old connection may come up now
  std::this_thread::sleep_for(300ms);
  g_start_gate.release();  // and pairing's own run starts

  for (int i = 0; i < 200 && pairing_progress().requested == 0; i++)
    std::this_thread::sleep_for(50ms);
  ASSERT_EQ(pairing_progress().requested, 1u);
  // The sequence's last step: once it shows, the pairing thread touches
  // nothing more that the process's exit tears down.
  for (int i = 0; i < 200 && tray_status() != "Waiting for browser login..."; i++)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(tray_status(), "Waiting for browser login...");
  std::vector<testing::WsTestServer::Message> got = server.wait_for_messages(1, 5s);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NE(got[0].data.find("service_pair_request"), std::string::npos) << got[0].data;
  EXPECT_FALSE(server.wait_for_disconnect(got[0].conn, 500ms))
      << "the request went out on a closed connection";
  EXPECT_EQ(server.open_connections(), 1);
}

// Login while a reconnect sequence is between its check and its new
// connection: the sequence must leave pairing's connection, and the request
// sent on it, alone.
TEST_F(PairingLinkTest, AReconnectUnderwayYieldsToPairing) {
  Json key = json_object();
  json_add_string(key.get(), "private_key", "c2VlZA==");
  ASSERT_TRUE(config_save(key.get()));
  std::atomic<bool> login{false};
  clock_set_wait_observer_for_testing([&](uint32_t ms) {
    if (ms != 500 || login.exchange(true)) return;  // the sequence's settle
    start_pairing();
    for (int i = 0; i < 200 && should_reconnect(); i++) std::this_thread::sleep_for(10ms);
  });
  set_should_reconnect(true);
  on_link_lost(nullptr);

  std::vector<testing::WsTestServer::Message> got = server_->wait_for_messages(1, 10s);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NE(got[0].data.find("service_pair_request"), std::string::npos) << got[0].data;
  EXPECT_FALSE(server_->wait_for_disconnect(got[0].conn, 1500ms));
  EXPECT_EQ(server_->open_connections(), 1);
  // Both threads' last steps: after them neither touches anything that the
  // process's exit tears down.
  auto ended = [&] {
    return tray_status() == "Waiting for browser login..." &&
           testing::read_text_file(data_.file("service.log"))
                   .find("reconnect: should_reconnect=false") != std::string::npos;
  };
  for (int i = 0; i < 500 && !ended(); i++) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(ended());
}

}  // namespace
}  // namespace halvex
