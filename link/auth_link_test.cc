// The authentication handshake over a real TLS WebSocket: the test server
// plays the recovery server's side and checks the signature with libsodium.

#include <gtest/gtest.h>
#include <sodium.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "core/codec.h"
#include "core/json.h"
#include "core/util.h"
#include "link/auth.h"
#include "link/proto.h"
#include "link/ws_client.h"
#include "platform/tls.h"
#include "service/auth_wiring.h"
#include "service/config.h"
#include "service/tray.h"
#include "tests/support/eventually.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_pki.h"
#include "tests/support/ws_test_server.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using halvex::testing::eventually;
using testing::TempDir;
using testing::WsTestServer;

// The server's side of the handshake. Runs on the test server's I/O thread.
struct FakeRecoveryServer {
  std::mutex mu;
  std::string challenge;
  std::string auth_key_request;  // the "d" of service_auth_key, printed
  std::atomic<int> verified{0}, rejected{0};

  void on_message(WsTestServer& ws, int conn, const std::string& text) {
    Json msg = json_parse(text);
    std::string event = json_get_string(msg.get(), "e");
    const cJSON* d = json_get(msg.get(), "d");
    std::lock_guard<std::mutex> lock(mu);
    if (event == "service_auth_key") {
      auth_key_request = json_print(d);
      unsigned char raw[32];
      randombytes_buf(raw, sizeof raw);
      challenge = base64_encode(raw, sizeof raw);
      ws.send_text("{\"e\":\"auth_challenge\",\"d\":{\"challenge\":\"" + challenge + "\"}}", conn);
    } else if (event == "auth_response") {
      std::optional<Bytes> sig = base64_decode(json_get_string(d, "signature"));
      std::optional<Bytes> pk = base64_decode(json_get_string(d, "public_key"));
      bool ok = sig && pk && sig->size() == 64 && pk->size() == 32 &&
                crypto_sign_verify_detached(
                    sig->data(), reinterpret_cast<const unsigned char*>(challenge.data()),
                    challenge.size(), pk->data()) == 0;
      (ok ? verified : rejected)++;
      if (!ok)
        ws.send_text(R"({"e":"auth_fail","d":{"error":"Invalid signature"}})", conn);
      else
        ws.send_text(R"({"e":"auth_ok","d":{"user_id":17,"username":"carol"}})", conn);
    }
  }
};

class AuthLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    pki_ = *testing::make_test_pki({"localhost"}, &error);
    tls_set_ca_file(pki_.ca_cert_path);
    init_data_paths_from(data_.path(), data_.path());
    auth_wire_service();
    proto_init();
    auth_register_handlers();
    auth_clear_identity();
    server_ = std::make_unique<WsTestServer>(pki_.cert_path, pki_.key_path);
    server_->on_message = [this](WsTestServer& ws, int conn, const std::string& text) {
      fake_.on_message(ws, conn, text);
    };
    ASSERT_TRUE(server_->start(&error)) << error;
  }
  void TearDown() override {
    ws_close();
    if (run_.joinable()) run_.join();
    server_->stop();
    testing::remove_test_pki(pki_);
  }
  void connect() {
    run_ = std::thread(
        [u = "wss://localhost:" + std::to_string(server_->port()) + "/ws"] { ws_run(u); });
    ASSERT_TRUE(server_->wait_for_connections(1, 10s));
  }

  TempDir data_;
  testing::TestPki pki_;
  FakeRecoveryServer fake_;
  std::unique_ptr<WsTestServer> server_;
  std::thread run_;
};

TEST_F(AuthLinkTest, ChallengeSignedAndIdentitySet) {
  std::string machine_id = get_machine_id();
  std::string hostname;
  get_hostname(&hostname);
  auth_init_keypair();
  connect();
  // The tray is the last thing "auth_ok" sets; the user id comes first.
  ASSERT_TRUE(eventually([] { return tray_status() == "Connected \u2014 carol"; }));
  EXPECT_EQ(auth_user_id(), 17);
  EXPECT_EQ(auth_username(), "carol");
  EXPECT_EQ(fake_.verified, 1);
  EXPECT_EQ(fake_.rejected, 0);
  std::lock_guard<std::mutex> lock(fake_.mu);
  EXPECT_EQ(fake_.auth_key_request,
            "{\"machine_id\":\"" + machine_id +
                "\",\"platform\":\"Linux\",\"version\":\"0.2.1\",\"build\":\"native\","
                "\"hostname\":\"" +
                hostname + "\"}");
}

TEST_F(AuthLinkTest, UnlinkedMachineSendsNoAuthRequest) {
  auth_init_keypair();
  config_delete();  // no "private_key" stored: not linked
  connect();
  // The "_connected" handler runs right after the upgrade; give it time to
  // act (a request would arrive within milliseconds on loopback).
  ASSERT_TRUE(eventually([] { return ws_is_connected(); }));
  std::this_thread::sleep_for(300ms);
  EXPECT_TRUE(server_->messages().empty());
}

}  // namespace
}  // namespace halvex
