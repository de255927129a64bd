// Link loss against a real TLS WebSocket server: only the end of the live
// connection counts as losing the link.

#include "core/pairing.h"

#include <gtest/gtest.h>

#include <thread>

#include "core/config.h"
#include "core/log.h"
#include "core/tray.h"
#include "link/auth.h"
#include "link/proto.h"
#include "link/ws_client.h"
#include "platform/tls.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_pki.h"
#include "tests/support/ws_test_server.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;

TEST(PairingTest, EndOfAReplacedConnectionIsNotALinkLoss) {
  std::string error;
  testing::TestPki pki = *testing::make_test_pki({"localhost"}, &error);
  testing::WsTestServer server(pki.cert_path, pki.key_path);
  ASSERT_TRUE(server.start(&error)) << error;
  tls_set_ca_file(pki.ca_cert_path);
  testing::TempDir data;
  init_data_paths_from(data.path(), data.path());  // no key stored: a reconnect would log at once
  log_open(data.file("service.log"));

  proto_init();
  register_handler("_disconnected", on_link_lost);
  pairing_set_server("localhost:" + std::to_string(server.port()));
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
  EXPECT_EQ(testing::read_text_file(data.file("service.log")).find("reconnect:"), std::string::npos);

  // The live connection's end is a loss: identity cleared, tray told.
  set_should_reconnect(false);
  ws_close();
  second.join();
  EXPECT_EQ(auth_user_id(), 0);
  EXPECT_EQ(tray_status(), "Reconnecting...");
  EXPECT_EQ(tray_tooltip(), "Halvex Service \u2014 Reconnecting...");

  log_close();
  server.stop();
  testing::remove_test_pki(pki);
}

}  // namespace
}  // namespace halvex
