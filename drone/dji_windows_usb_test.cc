// The USB search on Windows: the libusb 0.1 stand-in is built as
// libusb0.dll beside this executable, where the agent loads it with
// LoadLibraryExW like the real libusb-win32, and the search runs through
// the eleven entry points resolved from it.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "drone/dji_usb.h"
#include "drone/dji_windows_support.h"
#include "drone/usb_standin.h"
#include "platform/usb01.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;

constexpr uint16_t kDji = 0x2CA3;
const int kProbeTimeoutMs = static_cast<int>(DjiTimings{}.usb_probe_timeout.count());
constexpr uint32_t kIntf(int n) { return 1u << n; }

class DjiWindowsUsbTest : public testing::DjiWindowsTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(usb_.load());
    DjiWindowsTest::SetUp();
  }
  void TearDown() override {
    DjiWindowsTest::TearDown();
    EXPECT_EQ(usb_.misuse(), 0) << usb_.calls();
    usb_.setup(nullptr, 0);
  }

  void devices(const std::vector<StandinDevice>& list) {
    usb_.setup(list.data(), static_cast<int>(list.size()));
  }

  std::vector<std::string> calls(const std::string& prefix) const {
    return usb_.calls_with(prefix);
  }

  testing::Standin usb_;
};

TEST_F(DjiWindowsUsbTest, PreferredInterfaceWinsWithItsEndpoints) {
  devices({{kDji, 0x20, kIntf(0), 1, 0},
           {kDji, 0x0A, kIntf(4), 1, 0},
           {kDji, 0x001E, kIntf(4), 1, 0},
           {kDji, 0x21, kIntf(2), 0, -5}});
  UsbLink link;
  ASSERT_TRUE(usb_connect_duml(kDji, kProbeTimeoutMs, &link)) << all_lines();
  EXPECT_EQ(link.interface, 4);
  EXPECT_EQ(link.ep_out, 0x04);
  EXPECT_EQ(link.ep_in, 0x85);
  EXPECT_EQ(calls("open"), (std::vector<std::string>{"open 000", "open 001", "open 003"}));
  EXPECT_EQ(calls("close"), (std::vector<std::string>{"close 000", "close 003"}));
  EXPECT_TRUE(has_line("Connected USB PID=0x000A intf 4 OUT=0x04 IN=0x85 (DUML OK)"))
      << all_lines();
  EXPECT_TRUE(has_line("USB: 3 handle(s) opened, probing for DUML..."));
  link.handle.reset();  // the last owner releases and closes
  EXPECT_EQ(calls("close"), (std::vector<std::string>{"close 000", "close 003", "close 001"}));
  EXPECT_EQ(calls("release 001"), std::vector<std::string>{"release 001 4"});
}

// libusb-win32 says -116 when a read's time-out passed: an idle read, in
// the probe's log line and in the reader alike.
TEST_F(DjiWindowsUsbTest, TheLibrarysTimeOutIsAnIdleRead) {
  EXPECT_EQ(kUsb01TimedOut, -116);
  devices({{kDji, 0x20, kIntf(1), 0, 0}});
  UsbLink link;
  EXPECT_FALSE(usb_connect_duml(kDji, kProbeTimeoutMs, &link));
  EXPECT_TRUE(has_line("  intf 1: no DUML (read=-116)")) << all_lines();
  EXPECT_TRUE(has_line("No DUML response on any USB interface"));
  EXPECT_TRUE(usb_read_is_idle(-116));
  EXPECT_FALSE(usb_read_is_idle(-5));
}

TEST_F(DjiWindowsUsbTest, LoadedOnceAndLoggedOnce) {
  usb_.setup(nullptr, -1);
  UsbLink link;
  EXPECT_FALSE(usb_connect_duml(kDji, kProbeTimeoutMs, &link));
  EXPECT_FALSE(usb_connect_duml(kDji, kProbeTimeoutMs, &link));
  EXPECT_TRUE(has_line("USB: 0 handle(s) opened, probing for DUML...")) << all_lines();
  // The first test of the program loaded it; none logs it again.
  EXPECT_FALSE(has_line("libusb0.dll not found"));
}

TEST_F(DjiWindowsUsbTest, ConnectRequestUsesUsbThenReportsTheLink) {
  devices({{kDji, 0x20, kIntf(4), 1, 0}});
  send("dji_connect_device");
  ASSERT_TRUE(wait_line("Ready for commands")) << all_lines();
  EXPECT_FALSE(has_line("Scanning COM ports..."));
  EXPECT_TRUE(has_line("Reader thread started (ep_out=0x04 ep_in=0x85)"));
  send("dji_tx", R"({"raw_hex":"0A0b"})");
  ASSERT_TRUE(wait_line("TX #1: 2 bytes, ok=1")) << all_lines();
  EXPECT_EQ(usb_.written(0), "\x0a\x0b");
}

}  // namespace
}  // namespace halvex
