// The drone link end to end: the agent's link and drone modules, paired
// and authenticated against the real recovery-server binary over TLS, a
// simulated drone on a pseudo-terminal, and `recovery-server drone` run as
// an operator would.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/json.h"
#include "core/log.h"
#include "drone/dji.h"
#include "drone/dji_testing.h"
#include "drone/pty_device.h"
#include "link/auth.h"
#include "link/proto.h"
#include "link/ws_client.h"
#include "platform/tls.h"
#include "service/config.h"
#include "tests/integration/server_process.h"
#include "tests/support/eventually.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using halvex::testing::eventually;
using testing::ChildProcess;
using testing::PtyDevice;
using testing::ServerProcess;
using testing::TempDir;

std::atomic<bool> g_paired{false};


std::vector<Json> json_lines(const std::string& text) {
  std::vector<Json> out;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    out.push_back(json_parse(text.substr(start, nl - start)));
  return out;
}

// The stored event named `name` in the output, printed; "" when none.
std::string find_event(const std::string& out, const std::string& name) {
  for (const Json& line : json_lines(out))
    if (json_get_string(line.get(), "e") == name) return json_print(json_get(line.get(), "d"));
  return "";
}

class DroneCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.init({"alice"}));
    ASSERT_TRUE(server_.start());
    tls_set_ca_file(server_.ca_file());
    init_data_paths_from(agent_.path(), agent_.path());
    log_open(agent_.file("service.log"));
    proto_init();
    auth_register_handlers();
    dji_register_handlers();
    register_handler("pair_success", [](const cJSON*) { g_paired = true; });
    auth_clear_identity();
    auth_init_keypair();
    ports_ = agent_.file("ports");
    ASSERT_EQ(::mkdir(ports_.c_str(), 0700), 0);
    dji_set_port_dir_for_testing(ports_);
    pair_and_authenticate();
  }

  void TearDown() override {
    drone({"disconnect"});
    EXPECT_TRUE(dji_wait_idle_for_testing(30s));
    dji_reset_for_testing();
    disconnect();
    log_close();
    EXPECT_EQ(server_.stop(), 0) << server_.last_output();
  }

  void connect() {
    disconnect();
    std::string url = "wss://localhost:" + std::to_string(server_.port()) + "/ws";
    run_ = std::thread([url] { ws_run(url); });
    ASSERT_TRUE(eventually([] { return ws_is_connected(); }));
  }
  void disconnect() {
    ws_close();
    if (run_.joinable()) run_.join();
  }

  void pair_and_authenticate() {
    connect();
    Json d = json_object();
    json_add_string(d.get(), "code", "DRNE23");
    json_add_string(d.get(), "public_key", auth_public_key());
    json_add_string(d.get(), "platform", "Linux");
    json_add_string(d.get(), "version", "0.2.1");
    json_add_string(d.get(), "build", "native");
    json_add_string(d.get(), "machine_id", get_machine_id());
    json_add_string(d.get(), "hostname", "drone-box");
    send_event("service_pair_request", std::move(d));
    ASSERT_TRUE(eventually([&] { return server_.run({"approve", "DRNE23", "--user", "alice"}) == 0; }));
    ASSERT_TRUE(eventually([] { return g_paired.load(); }));
    connect();  // authenticates with the stored key
    ASSERT_TRUE(eventually([] { return auth_user_id() != 0; }));
  }

  int drone(std::vector<std::string> args, std::string* out = nullptr) {
    args.insert(args.begin(), {"drone", get_machine_id()});
    return server_.run(args, "", out);
  }

  TempDir dir_, agent_;
  ServerProcess server_{dir_.path()};
  std::string ports_;
  std::thread run_;
};

TEST_F(DroneCliTest, ConnectStatusRelayAndDisconnect) {
  PtyDevice device(PtyDevice::kTalker);
  ASSERT_TRUE(device.start(ports_ + "/ttyUSB0"));
  std::string out;
  ASSERT_EQ(drone({"connect"}, &out), 0) << server_.last_output();
  EXPECT_EQ(find_event(out, "dji_operation_result"),
            R"({"operation":"connect","success":true,"message":"Connected via serial"})");
  EXPECT_NE(find_event(out, "dji_ready"), "") << out;
  EXPECT_EQ(find_event(out, "dji_rx"), "") << "received bytes are for rx";

  ASSERT_EQ(drone({"status"}, &out), 0) << server_.last_output();
  EXPECT_EQ(find_event(out, "dji_device_info"), R"({"connected":true,"conn_type":"serial"})");

  ASSERT_EQ(drone({"tx", "0A0b"}, &out), 0) << server_.last_output();
  EXPECT_EQ(out, "{\"sent\":true,\"bytes\":2}\n");
  EXPECT_TRUE(eventually([&] { return device.received() == std::string("\x0a\x0b", 2); })) << device.received().size();
  EXPECT_EQ(drone({"tx", "0A0"}), 2);

  // The device keeps talking: its frames are stored and printed by rx.
  ASSERT_TRUE(eventually([&] {
    drone({"rx"}, &out);
    return find_event(out, "dji_rx").find("550d04332a1f") != std::string::npos;
  })) << out;

  // --follow prints what arrives after the last event seen.
  std::vector<Json> seen = json_lines(out);
  std::string last = std::to_string(static_cast<long long>(json_get_number(seen.back().get(), "seq")));
  ChildProcess follow({RECOVERY_SERVER_BIN, "drone", get_machine_id(), "rx", "--follow", "--after", last,
                       "--data", server_.data()},
                      dir_.path(), "follow");
  std::string error;
  ASSERT_TRUE(follow.start(&error)) << error;
  EXPECT_TRUE(follow.wait_for_output("\"e\":\"dji_rx\"", 15s)) << follow.err();
  EXPECT_EQ(follow.out().find("\"seq\":" + last + ","), std::string::npos);
  follow.signal(SIGTERM);
  follow.wait(5s);

  ASSERT_EQ(drone({"disconnect"}, &out), 0) << server_.last_output();
  EXPECT_EQ(find_event(out, "dji_operation_result"),
            R"({"operation":"disconnect","success":true,"message":"Disconnected"})");
}

TEST_F(DroneCliTest, FailedConnectExitsWithOneAndBadOptionsWithTwo) {
  std::string out;
  EXPECT_EQ(drone({"connect", "--usb-vid", "0", "--probe-hex", "550e04"}, &out), 1) << server_.last_output();
  EXPECT_EQ(find_event(out, "dji_operation_result"),
            R"({"operation":"connect","success":false,"message":"No DJI device found"})");
  EXPECT_EQ(drone({"connect", "--usb-vid", "70000"}), 2);
  EXPECT_EQ(drone({"launch"}), 2);
  EXPECT_EQ(server_.run({"drone", "bad/machine", "status"}), 2);
  EXPECT_EQ(server_.run({"drone", "unknown-machine", "status"}), 1);
}

}  // namespace
}  // namespace halvex
