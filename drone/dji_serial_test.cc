// The drone link over serial ports made of real pseudo-terminals.

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <thread>

#include "drone/dji_test_support.h"
#include "drone/pty_device.h"
#include "platform/serial.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;

using testing::contains;
using testing::DjiLinkTest;
using testing::joined;
using testing::kDefaultProbe;
using testing::kTestTimings;
using testing::PtyDevice;

// Long enough for bytes read to have gone out in a batch.
constexpr auto kBatchesOut = kTestTimings.read_timeout + 2 * kTestTimings.batch_window;

class DjiSerialTest : public DjiLinkTest {
 protected:
  PtyDevice& add_device(const std::string& port, PtyDevice::Mode mode,
                        const std::string& probe = kDefaultProbe) {
    devices_.push_back(std::make_unique<PtyDevice>(mode, probe));
    EXPECT_TRUE(devices_.back()->start(ports_ + "/" + port));
    return *devices_.back();
  }
  void TearDown() override {
    DjiLinkTest::TearDown();
    devices_.clear();
  }

  // Connects to a device that answers the probe on ttyUSB0.
  PtyDevice& connected_device() {
    PtyDevice& dev = add_device("ttyUSB0", PtyDevice::kAnswersProbe);
    Json r = connect();
    EXPECT_TRUE(r && json_get_bool(r.get(), "success")) << json_print(r.get());
    return dev;
  }

  std::vector<std::unique_ptr<PtyDevice>> devices_;
};

TEST(SerialPortsTest, ListsUsbAndAcmCharacterDevicesInNameOrder) {
  testing::TempDir dir;
  std::vector<std::unique_ptr<PtyDevice>> ptys;
  for (const char* name : {"ttyUSB1", "ttyUSB0", "ttyACM0", "ttyS0"}) {
    ptys.push_back(std::make_unique<PtyDevice>(PtyDevice::kSilent));
    ASSERT_TRUE(ptys.back()->start(dir.file(name)));
  }
  std::ofstream(dir.file("ttyUSB9")) << "not a device";
  std::vector<std::string> names;
  std::string error;
  ASSERT_TRUE(serial_list_ports(dir.path(), &names, &error)) << error;
  EXPECT_EQ(names, (std::vector<std::string>{"ttyACM0", "ttyUSB0", "ttyUSB1"}));
  EXPECT_FALSE(serial_list_ports(dir.file("missing"), &names, &error));
  EXPECT_NE(error.find("missing"), std::string::npos) << error;
}

TEST(SerialPortsTest, HungUpPortReadsAsErrorAndRateMustExist) {
  testing::TempDir dir;
  auto dev = std::make_unique<PtyDevice>(PtyDevice::kSilent);
  ASSERT_TRUE(dev->start(dir.file("ttyUSB0")));
  std::string error;
  EXPECT_FALSE(serial_open(dir.file("ttyUSB0"), 12345, &error));
  SerialPtr port = serial_open(dir.file("ttyUSB0"), 115200, &error);
  ASSERT_TRUE(port) << error;
  uint8_t buf[16];
  EXPECT_EQ(serial_read(*port, buf, sizeof buf, 50, 50), 0);  // nothing sent: idle
  EXPECT_EQ(serial_write(*port, reinterpret_cast<const uint8_t*>("ab"), 2, 1000), 2);
  dev->go_away();
  EXPECT_EQ(serial_read(*port, buf, sizeof buf, 50, 50), -1);
  std::ofstream(dir.file("plain")) << "x";
  EXPECT_FALSE(serial_open(dir.file("plain"), 9600, &error));
}

TEST_F(DjiSerialTest, DeviceTalkingUnpromptedIsFoundPassivelyAndNeverProbed) {
  PtyDevice& dev = add_device("ttyUSB0", PtyDevice::kTalker);
  size_t from = mark();
  Json r = connect();
  ASSERT_TRUE(r);
  EXPECT_EQ(json_print(r.get()),
            R"({"operation":"connect","success":true,"message":"Connected via serial"})");
  expect_logged(from, {"Connected ttyUSB0 @ 9600 (passive DUML)", "Ready for commands"});
  Json ready = wait_event("dji_ready", from);
  EXPECT_EQ(json_get_string(ready.get(), "conn_type"), "serial");
  EXPECT_TRUE(json_get_bool(ready.get(), "connected"));
  EXPECT_EQ(dev.received().find(kDefaultProbe), std::string::npos);

  // Its frames reach the server.
  EXPECT_TRUE(wait_event("dji_rx", from, [](const cJSON* d) {
    return json_get_string(d, "raw_hex").find("550d04332a1f") != std::string::npos;
  }));
  EXPECT_EQ(json_print(status().get()), R"({"connected":true,"conn_type":"serial"})");

  size_t again = mark();
  Json second = connect();
  EXPECT_EQ(json_get_string(second.get(), "message"), "Already connected");
  EXPECT_FALSE(contains(log_lines(again), "Connecting to DJI device..."));
}

// The silent port comes first in name order and is probed at every rate;
// the device that answers only the probe frame is found after it.
TEST_F(DjiSerialTest, SilentPortIsPassedAndProbeAnsweringDeviceIsFound) {
  PtyDevice& silent = add_device("ttyACM0", PtyDevice::kSilent);
  PtyDevice& dev = add_device("ttyUSB0", PtyDevice::kAnswersProbe);
  size_t from = mark();
  Json r = connect("{}", 90s);
  EXPECT_TRUE(r && json_get_bool(r.get(), "success")) << json_print(r.get());
  expect_logged(from, {"Connected ttyUSB0 @ 9600 (probed)"});
  EXPECT_EQ(silent.received(), kDefaultProbe + kDefaultProbe + kDefaultProbe);
  EXPECT_EQ(dev.received(), kDefaultProbe);
}

TEST_F(DjiSerialTest, CustomProbeTextIsWritten) {
  const std::string probe("\xaa\x55\xbb", 3);
  PtyDevice& dev = add_device("ttyUSB0", PtyDevice::kAnswersProbe, probe);
  Json r = connect(R"({"probe_hex":"AA55bb"})");
  EXPECT_TRUE(r && json_get_bool(r.get(), "success")) << json_print(r.get());
  EXPECT_EQ(dev.received(), probe);
}

TEST_F(DjiSerialTest, AttemptsThatFindNothing) {
  struct FailureCase {
    const char* name;
    bool folder_exists;
    const char* request;
    std::vector<std::string> expected_tail;  // the last log lines of the attempt
  };
  const FailureCase cases[] = {
      {"missing folder", false, "{}", {"Scanning COM ports...", "No DJI device found"}},
      {"no port",
       true,
       "{}",
       {"Scanning COM ports...", "No DUML-capable COM ports found", "No DJI device found"}},
      // An unusable probe text: the silent port is only listened to.
      {"odd probe",
       true,
       R"({"probe_hex":"550e0"})",
       {"No DUML-capable COM ports found", "No DJI device found"}},
  };
  PtyDevice* silent = nullptr;
  for (const FailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    dji_set_port_dir_for_testing(c.folder_exists ? ports_ : ports_ + "/missing");
    if (std::string(c.name) == "odd probe") silent = &add_device("ttyUSB0", PtyDevice::kSilent);
    size_t from = mark();
    EXPECT_EQ(json_print(connect(c.request).get()),
              R"({"operation":"connect","success":false,"message":"No DJI device found"})");
    std::vector<std::string> log = log_lines(from);
    ASSERT_GE(log.size(), c.expected_tail.size());
    EXPECT_EQ(
        std::vector<std::string>(log.end() - static_cast<long>(c.expected_tail.size()), log.end()),
        c.expected_tail);
    ASSERT_TRUE(dji_wait_idle_for_testing(10s));
  }
  EXPECT_EQ(silent->received(), "");
  // Over 63 characters: cut to an odd length, so still unusable.
  std::string long_probe(70, 'a');
  size_t from = mark();
  Json r = connect(R"({"probe_hex":")" + long_probe + "\"}");
  EXPECT_EQ(json_get_string(r.get(), "message"), "No DJI device found");
  EXPECT_EQ(silent->received(), "");
  expect_logged(from, {"No DUML-capable COM ports found"});
}

TEST_F(DjiSerialTest, BatchesReadsByWindow) {
  PtyDevice& dev = connected_device();
  size_t from = mark();
  const int kPackets = 40;
  dev.stream(kPackets, 100, 10);
  std::string expected;
  for (int k = 0; k < kPackets; k++) expected += PtyDevice::packet(k, 100);
  ASSERT_TRUE(wait_event("dji_rx", from, [&](const cJSON*) {
    return joined(rx_batches(from)).size() >= expected.size();
  }));
  std::vector<std::string> batches = rx_batches(from);
  EXPECT_EQ(joined(batches), expected);
  // A read takes what came in during its time-out, and a batch goes out at
  // most once a window: far fewer events than packets.
  EXPECT_LE(batches.size(), static_cast<size_t>(kPackets / 2));
  expect_logged(from, {"RX emit #1: " + std::to_string(batches[0].size()) + " bytes"});
}

// Packets three windows apart are three batches, not one (each 512-byte
// packet fills a read, so a read ends as its packet arrives).
TEST_F(DjiSerialTest, PacketsFartherApartThanTheWindowAreBatchesOfTheirOwn) {
  PtyDevice& dev = connected_device();
  // The reader's window since its start has passed.
  std::this_thread::sleep_for(2 * kTestTimings.batch_window);
  size_t from = mark();
  dev.stream(3, 512, static_cast<int>(3 * kTestTimings.batch_window.count()));
  std::vector<std::string> expected;
  for (int k = 0; k < 3; k++) expected.push_back(PtyDevice::packet(k, 512));
  ASSERT_TRUE(wait_event("dji_rx", from,
                         [&](const cJSON*) { return joined(rx_batches(from)).size() >= 3 * 512; }));
  EXPECT_EQ(rx_batches(from), expected);
}

TEST_F(DjiSerialTest, ReadsBeyondTheBatchLimitAreDroppedWhole) {
  PtyDevice& dev = connected_device();
  std::string burst(64 * 1024, '\0');
  std::mt19937 rng(7);
  for (char& c : burst) c = static_cast<char>(rng());
  size_t from = mark();
  dev.burst(burst);
  ASSERT_TRUE(wait_event("dji_rx", from));
  for (int i = 0; i < 300 && !dev.stream_sent(); i++) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(dev.stream_sent());
  std::this_thread::sleep_for(kBatchesOut);
  std::vector<std::string> batches = rx_batches(from);
  ASSERT_FALSE(batches.empty());
  size_t relayed = 0, at = 0;
  for (const std::string& b : batches) {
    EXPECT_LE(b.size(), 8192u);
    // Each batch is a stretch of the burst, later than the one before.
    size_t found = burst.find(b, at);
    ASSERT_NE(found, std::string::npos);
    at = found + b.size();
    relayed += b.size();
  }
  EXPECT_EQ(burst.compare(0, batches[0].size(), batches[0]), 0);
  EXPECT_LT(relayed, burst.size());
}

TEST_F(DjiSerialTest, TransmitWritesValidHexOnly) {
  PtyDevice& dev = connected_device();
  struct Case {
    const char* d;
    std::string written;
  };
  const Case cases[] = {
      {R"({"raw_hex":"0A0b"})", std::string("\x0a\x0b", 2)},
      {R"({"raw_hex":"0A0"})", ""},
      {R"({"raw_hex":"zz"})", ""},
      {R"({"raw_hex":""})", ""},
      {R"({"raw_hex":12})", ""},
      {R"({})", ""},
      {R"({"raw_hex":"55aa00ff"})", std::string("\x55\xaa\x00\xff", 4)},
  };
  std::string expected = kDefaultProbe;
  size_t from = mark();
  for (const Case& c : cases) {
    send("dji_tx", c.d);
    expected += c.written;
  }
  ASSERT_TRUE(status());  // handlers run in order: after this, every tx ran
  for (int i = 0; i < 200 && dev.received() != expected; i++) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(dev.received(), expected);
  auto tx_lines = [&] {
    std::vector<std::string> tx;
    for (const std::string& l : log_lines(from))
      if (l.rfind("TX", 0) == 0) tx.push_back(l);
    return tx;
  };
  EXPECT_EQ(tx_lines(), (std::vector<std::string>{"TX #1: 2 bytes, ok=1", "TX #2: 4 bytes, ok=1"}));

  // Only the first five transmissions of the process are logged.
  for (int i = 0; i < 5; i++) send("dji_tx", R"({"raw_hex":"01"})");
  ASSERT_TRUE(status());
  for (int i = 0; i < 200 && dev.received().size() != expected.size() + 5; i++)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(dev.received(), expected + std::string(5, '\x01'));
  std::vector<std::string> tx = tx_lines();
  EXPECT_EQ(tx.size(), 5u);
  EXPECT_EQ(tx.back(), "TX #5: 1 bytes, ok=1");
}

TEST_F(DjiSerialTest, TransmitWithoutLinkIsLoggedThreeTimesInARow) {
  size_t from = mark();
  for (int i = 0; i < 5; i++) send("dji_tx", R"({"raw_hex":"01"})");
  ASSERT_TRUE(status());
  EXPECT_EQ(log_lines(from), std::vector<std::string>(3, "TX rejected: not connected"));
}

TEST_F(DjiSerialTest, LostDeviceEndsInAutomaticDisconnect) {
  PtyDevice& dev = connected_device();
  size_t from = mark();
  dev.go_away();
  EXPECT_EQ(
      json_print(wait_event("dji_operation_result", from).get()),
      R"j({"operation":"disconnect","success":true,"message":"Device disconnected (USB removed)"})j");
  expect_logged(
      from, {"Device lost (5 errors)", "Reader thread stopped", "Auto-disconnect: device lost"});
  EXPECT_TRUE(wait_event("dji_device_info", from,
                         [](const cJSON* d) { return !json_get_bool(d, "connected", true); }));

  EXPECT_EQ(json_print(status().get()), R"({"connected":false,"conn_type":""})");
  size_t tx = mark();
  send("dji_tx", R"({"raw_hex":"01"})");
  ASSERT_TRUE(status());
  EXPECT_EQ(log_lines(tx), std::vector<std::string>{"TX rejected: not connected"});

  // The port left open is closed before the next search, which finds the
  // device again once it is back.
  add_device("ttyUSB1", PtyDevice::kTalker);
  EXPECT_EQ(json_get_string(connect().get(), "message"), "Connected via serial");
}

TEST_F(DjiSerialTest, DisconnectAnswersEvenWithoutLink) {
  size_t from = mark();
  send("dji_disconnect_device");
  Json r = wait_event("dji_operation_result", from);
  EXPECT_EQ(json_print(r.get()),
            R"({"operation":"disconnect","success":true,"message":"Disconnected"})");
  EXPECT_EQ(json_print(wait_event("dji_device_info", from).get()),
            R"({"connected":false,"conn_type":""})");
}

// Without a user id, link events and received bytes are dropped; the
// operation result and "dji_ready" still go out.
TEST_F(DjiSerialTest, GateClosedWithoutUserId) {
  PtyDevice& dev = add_device("ttyUSB0", PtyDevice::kTalker);
  auth_clear_identity();
  size_t from = mark();
  EXPECT_TRUE(json_get_bool(connect().get(), "success"));
  dev.stream(5, 100, 20);
  for (int i = 0; i < 300 && !dev.stream_sent(); i++) std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(kBatchesOut);
  std::vector<std::string> names;
  for (const testing::Event& e : events(from))
    if (e.name.rfind("dji_", 0) == 0) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"dji_operation_result", "dji_ready"}));
  EXPECT_NE(service_log().find("dji: Ready for commands"), std::string::npos);
  auth_set_identity(17, "carol");
}

}  // namespace
}  // namespace halvex
