// The drone link end to end: the agent's link and drone modules, paired
// and authenticated against the real recovery-server binary over TLS, a
// simulated drone on a pseudo-terminal, and `recovery-server drone` run as
// an operator would.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "drone/dji.h"
#include "drone/dji_testing.h"
#include "drone/pty_device.h"
#include "tests/integration/agent_link.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using halvex::testing::eventually;
using testing::ChildProcess;
using testing::PtyDevice;

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

class DroneCliTest : public testing::AgentLinkTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(start({"alice"}));
    dji_register_handlers();
    ports_ = agent_.file("ports");
    ASSERT_EQ(::mkdir(ports_.c_str(), 0700), 0);
    dji_set_port_dir_for_testing(ports_);
    ASSERT_NO_FATAL_FAILURE(pair_with_approve("DRNE23"));
    ASSERT_NO_FATAL_FAILURE(reconnect_and_authenticate());
  }

  void TearDown() override {
    drone({"disconnect"});
    EXPECT_TRUE(dji_wait_idle_for_testing(30s));
    dji_reset_for_testing();
    AgentLinkTest::TearDown();
  }

  int drone(std::vector<std::string> args, std::string* out = nullptr) {
    args.insert(args.begin(), {"drone", get_machine_id()});
    return server_.run(args, "", out);
  }

  std::string ports_;
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
  EXPECT_TRUE(eventually([&] { return device.received() == std::string("\x0a\x0b", 2); }))
      << device.received().size();
  EXPECT_EQ(drone({"tx", "0A0"}), 2);

  // The device keeps talking: its frames are stored and printed by rx.
  ASSERT_TRUE(eventually([&] {
    drone({"rx"}, &out);
    return find_event(out, "dji_rx").find("550d04332a1f") != std::string::npos;
  })) << out;

  // --follow prints what arrives after the last event seen.
  std::vector<Json> seen = json_lines(out);
  std::string last =
      std::to_string(static_cast<long long>(json_get_number(seen.back().get(), "seq")));
  ChildProcess follow({RECOVERY_SERVER_BIN, "drone", get_machine_id(), "rx", "--follow", "--after",
                       last, "--data", server_.data()},
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
  EXPECT_EQ(drone({"connect", "--usb-vid", "0", "--probe-hex", "550e04"}, &out), 1)
      << server_.last_output();
  EXPECT_EQ(find_event(out, "dji_operation_result"),
            R"({"operation":"connect","success":false,"message":"No DJI device found"})");
  EXPECT_EQ(drone({"connect", "--usb-vid", "70000"}), 2);
  EXPECT_EQ(drone({"launch"}), 2);
  EXPECT_EQ(server_.run({"drone", "bad/machine", "status"}), 2);
  EXPECT_EQ(server_.run({"drone", "unknown-machine", "status"}), 1);
}

}  // namespace
}  // namespace halvex
