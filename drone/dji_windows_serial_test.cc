// The drone link on a real Windows COM port under wine: COM9 and COM8 are
// the two ends of a null-modem pair of pseudo-terminals made outside wine
// (drone/com-pair); the agent searches COM9 while the test plays the
// device on COM8 through the same serial layer. This program's folder
// holds a libusb0.dll that lacks usb_bulk_read, so every attempt also shows
// that such a library is let go without a word and the COM ports follow.

#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>

#include "drone/dji_windows_support.h"
#include "drone/duml_frames.h"
#include "platform/serial.h"
#include "platform/files.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using testing::kDefaultProbe;
using testing::kDeviceFrame;

const std::string kCom9 = "\\\\.\\COM9";
const std::string kCom8 = "\\\\.\\COM8";

// A device on COM8: keeps what it receives, and answers the probe frame,
// talks DUML unprompted, or stays silent.
class ComDevice {
 public:
  enum Mode { kSilent, kTalker, kAnswersProbe };

  explicit ComDevice(Mode mode) : mode_(mode) {
    std::string error;
    port_ = serial_open(kCom8, 115200, &error);
    EXPECT_TRUE(port_) << error;
    if (port_) thread_ = std::thread([this] { run(); });
  }
  ~ComDevice() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

  std::string received() {
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
  }

 private:
  void run() {
    size_t scanned = 0;
    while (!stop_) {
      uint8_t buf[512];
      long n = serial_read(*port_, buf, sizeof buf, 20, 50);
      std::string reply;
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (n > 0) received_.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
        size_t at = received_.find(kDefaultProbe, scanned);
        if (mode_ == kAnswersProbe && at != std::string::npos) {
          reply = kDeviceFrame;
          scanned = at + kDefaultProbe.size();
        }
      }
      if (mode_ == kTalker) reply = kDeviceFrame;
      if (!reply.empty())
        serial_write(*port_, reinterpret_cast<const uint8_t*>(reply.data()), reply.size(), 1000);
    }
  }

  const Mode mode_;
  SerialPtr port_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mu_;
  std::string received_;
};

std::string read_some(SerialPort& port, size_t want) {
  std::string got;
  for (int i = 0; i < 20 && got.size() < want; i++) {
    uint8_t buf[64];
    long n = serial_read(port, buf, sizeof buf, 50, 100);
    if (n > 0) got.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
  }
  return got;
}

TEST(WindowsSerialPortTest, BytesCrossThePairAndAnIdleReadWaitsItsTime) {
  std::string error;
  SerialPtr a = serial_open(kCom9, 921600, &error);
  ASSERT_TRUE(a) << error;
  SerialPtr b = serial_open(kCom8, 9600, &error);
  ASSERT_TRUE(b) << error;
  EXPECT_EQ(serial_write(*a, reinterpret_cast<const uint8_t*>("hello"), 5, 1000), 5);
  EXPECT_EQ(read_some(*b, 5), "hello");
  EXPECT_EQ(serial_write(*b, reinterpret_cast<const uint8_t*>("\x55\x00\x01"), 3, 1000), 3);
  EXPECT_EQ(read_some(*a, 3), std::string("\x55\x00\x01", 3));

  uint8_t buf[16];
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(serial_read(*a, buf, sizeof buf, 100, 300), 0);    // nothing sent: idle
  EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);  // the total time-out, not at once
}

TEST(WindowsSerialPortTest, WhatIsNotAPortIsRefused) {
  testing::TempDir dir;
  std::ofstream(dir.file("plain")) << "x";
  std::string error;
  EXPECT_FALSE(serial_open(dir.file("plain"), 9600, &error));
  EXPECT_NE(error.find("not a serial port"), std::string::npos) << error;
  EXPECT_FALSE(serial_open("\\\\.\\COM77", 9600, &error));
  EXPECT_EQ(error.rfind("open \\\\.\\COM77: ", 0), 0u) << error;
}

TEST(WindowsSerialPortTest, PortsComeFromTheHookOrSetupApi) {
  std::vector<std::string> names;
  std::string error;
  serial_set_ports_for_testing({"COM9"});
  ASSERT_TRUE(serial_list_ports(serial_default_port_dir(), &names, &error));
  EXPECT_EQ(names, std::vector<std::string>{"COM9"});
  serial_set_ports_for_testing({});
  // Whatever wine's SetupAPI holds, the query itself works and every name
  // is a COM port's.
  ASSERT_TRUE(serial_list_ports(serial_default_port_dir(), &names, &error)) << error;
  for (const std::string& name : names) EXPECT_EQ(name.rfind("COM", 0), 0u) << name;
}

class DjiWindowsSerialTest : public testing::DjiWindowsTest {};

TEST_F(DjiWindowsSerialTest, ProbeAnsweringDeviceIsFoundAndTransmitReachesIt) {
  ComDevice device(ComDevice::kAnswersProbe);
  send("dji_connect_device");
  ASSERT_TRUE(wait_line("Ready for commands")) << all_lines();
  EXPECT_TRUE(has_line("Scanning COM ports..."));
  EXPECT_TRUE(has_line("Connected COM9 @ 9600 (probed)")) << all_lines();
  EXPECT_TRUE(has_line("Reader thread started (ep_out=0x00 ep_in=0x00)"));
  EXPECT_EQ(device.received(), kDefaultProbe);
  // A library without every entry point is let go without a log line.
  EXPECT_FALSE(has_line("libusb0.dll loaded")) << all_lines();
  EXPECT_FALSE(has_line("libusb0.dll not found"));

  send("dji_tx", R"({"raw_hex":"0A0b"})");
  send("dji_tx", R"({"raw_hex":"0z"})");  // not hex: nothing written
  ASSERT_TRUE(wait_line("TX #1: 2 bytes, ok=1")) << all_lines();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(device.received(), kDefaultProbe + "\x0a\x0b");
  EXPECT_FALSE(has_line("TX #2: 1 bytes, ok=1"));
}

TEST_F(DjiWindowsSerialTest, TalkingDeviceIsFoundPassivelyAndNeverProbed) {
  ComDevice device(ComDevice::kTalker);
  send("dji_connect_device");
  ASSERT_TRUE(wait_line("Ready for commands")) << all_lines();
  EXPECT_TRUE(has_line("Connected COM9 @ 9600 (passive DUML)")) << all_lines();
  EXPECT_EQ(device.received(), "");
}

// An unusable probe text: the silent port is listened to at each rate and
// never written to.
TEST_F(DjiWindowsSerialTest, SilentPortWithUnusableProbeFindsNothing) {
  ComDevice device(ComDevice::kSilent);
  send("dji_connect_device", R"({"probe_hex":"550"})");
  ASSERT_TRUE(wait_line("No DJI device found")) << all_lines();
  EXPECT_TRUE(has_line("No DUML-capable COM ports found"));
  EXPECT_EQ(device.received(), "");
  ASSERT_TRUE(dji_wait_idle_for_testing(10s));
  // The port was closed again: it opens at once.
  std::string error;
  EXPECT_TRUE(serial_open(kCom9, 9600, &error)) << error;
}

}  // namespace
}  // namespace halvex
