// The drone link over USB, through the libusb 0.1 stand-in the build puts
// beside this executable as libusb0.so: search and probe, the reader,
// transmit, and the races between disconnect, connect and the reader.

#include <gtest/gtest.h>

#include "drone/dji_test_support.h"
#include "drone/usb_standin.h"
#include "tests/support/eventually.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using halvex::testing::eventually;

using testing::contains;
using testing::joined;
using testing::kTestTimings;
using testing::Standin;

constexpr uint16_t kDji = 0x2CA3;
constexpr uint32_t kIntf(int n) { return 1u << n; }

class DjiUsbTest : public testing::DjiLinkTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(usb_.load());
    DjiLinkTest::SetUp();
  }
  void TearDown() override {
    DjiLinkTest::TearDown();
    EXPECT_EQ(usb_.misuse(), 0) << usb_.calls();
    usb_.setup(nullptr, 0);
  }

  void devices(const std::vector<StandinDevice>& list) {
    usb_.setup(list.data(), static_cast<int>(list.size()));
  }

  std::vector<std::string> calls(const std::string& prefix) const {
    return usb_.calls_with(prefix);
  }
  int count(const std::string& prefix) const { return static_cast<int>(calls(prefix).size()); }

  void push(int dev, const std::string& bytes, int delay_ms = 0) {
    usb_.push_read(dev, static_cast<int>(bytes.size()),
                   reinterpret_cast<const uint8_t*>(bytes.data()), delay_ms);
  }
  void push_result(int dev, int result, int times = 1, int delay_ms = 0) {
    for (int i = 0; i < times; i++) usb_.push_read(dev, result, nullptr, delay_ms);
  }

  bool connected_now() { return json_get_bool(status().get(), "connected"); }
  // Connects to the one device given.
  bool connect_to(StandinDevice device) {
    devices({device});
    return json_get_bool(connect().get(), "success");
  }

  Standin usb_;
};

TEST_F(DjiUsbTest, OpensOnlyDevicesOfTheVendorOutsideTheSkippedProducts) {
  struct Case {
    const char* request;
    std::vector<std::string> opened;
    bool bus = true;
  };
  const Case cases[] = {
      {"{}", {"open 000", "open 005"}},
      {R"({"usb_vid":4660})", {"open 004"}},
      {"{}", {"open 004"}},  // the vendor id given stays
      {R"({"usb_vid":0})", {}},
      {R"({"usb_vid":76963})", {"open 000", "open 005"}},  // 0x12CA3: the low 16 bits
      {R"({"usb_vid":11427})", {}, false},                 // no bus: no candidate
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request);
    usb_.setup(nullptr, c.bus ? 0 : -1);
    if (c.bus)
      devices({{kDji, 0x001C, kIntf(4), 0, 0},
               {kDji, 0x001D, kIntf(4), 0, 0},
               {kDji, 0x001E, kIntf(4), 0, 0},
               {kDji, 0x001F, kIntf(4), 0, 0},
               {0x1234, 0x0020, kIntf(4), 0, 0},
               {kDji, 0x0020, kIntf(0), 0, 0}});
    size_t from = mark();
    Json r = connect(c.request);
    EXPECT_EQ(json_get_string(r.get(), "message"), "No DJI device found");
    ASSERT_TRUE(dji_wait_idle_for_testing(10s));
    EXPECT_EQ(calls("open"), c.opened);
    EXPECT_EQ(count("close"), static_cast<int>(c.opened.size()));
    EXPECT_EQ(count("release"), static_cast<int>(c.opened.size()));
    expect_logged(
        from, {"USB: " + std::to_string(c.opened.size()) + " handle(s) opened, probing for DUML...",
               "No DUML response on any USB interface"});
  }
}

TEST_F(DjiUsbTest, ClaimsTheFirstFreeInterfaceInPreferenceOrder) {
  devices({{kDji, 0x20, kIntf(7), 0, 0},
           {kDji, 0x21, kIntf(0) | kIntf(4), 0, 0},
           {kDji, 0x22, 0, 0, 0}});
  size_t from = mark();
  connect();
  ASSERT_TRUE(dji_wait_idle_for_testing(10s));
  EXPECT_EQ(calls("claim 000"),
            (std::vector<std::string>{"claim 000 4 -16", "claim 000 1 -16", "claim 000 0 -16",
                                      "claim 000 2 -16", "claim 000 3 -16", "claim 000 5 -16",
                                      "claim 000 6 -16", "claim 000 7 0"}));
  EXPECT_EQ(calls("claim 001"), std::vector<std::string>{"claim 001 4 0"});
  EXPECT_EQ(count("claim 002"), 8);
  EXPECT_EQ(calls("close 002"), std::vector<std::string>{"close 002"});
  EXPECT_EQ(count("release 002"), 0);  // nothing claimed, nothing released
  expect_logged(from, {"  opened 000 intf=7", "  opened 001 intf=4",
                       "USB: 2 handle(s) opened, probing for DUML..."});
}

// Ranks: interface 4 first, then 1, 0, 2 ... The exchange sort puts the
// interface-4 device first and, on the way, swaps the two interface-1
// devices.
TEST_F(DjiUsbTest, ProbesInInterfaceRankOrder) {
  devices({{kDji, 0x20, kIntf(1), 0, 0},
           {kDji, 0x21, kIntf(1), 0, 0},
           {kDji, 0x22, kIntf(4), 0, 0},
           {kDji, 0x23, kIntf(0), 0, 0}});
  size_t from = mark();
  connect();
  ASSERT_TRUE(dji_wait_idle_for_testing(10s));
  EXPECT_EQ(calls("write"),
            (std::vector<std::string>{"write 002 ep=0x04 len=1", "write 001 ep=0x01 len=1",
                                      "write 000 ep=0x01 len=1", "write 003 ep=0x00 len=1"}));
  expect_logged(from, {"  intf 4: no DUML (read=-110)", "  intf 0: no DUML (read=-110)"});
}

TEST_F(DjiUsbTest, PreferredInterfaceWinsAndTheOthersAreClosed) {
  devices(
      {{kDji, 0x20, kIntf(0), 1, 0}, {kDji, 0x0A, kIntf(4), 1, 0}, {kDji, 0x21, kIntf(2), 0, -5}});
  size_t from = mark();
  Json r = connect();
  EXPECT_EQ(json_print(r.get()),
            R"({"operation":"connect","success":true,"message":"Connected via usb"})");
  expect_logged(from, {"Connected USB PID=0x000A intf 4 OUT=0x04 IN=0x85 (DUML OK)",
                       "Reader thread started (ep_out=0x04 ep_in=0x85)"});
  EXPECT_EQ(calls("write"), std::vector<std::string>{"write 001 ep=0x04 len=1"});
  EXPECT_EQ(calls("close"), (std::vector<std::string>{"close 000", "close 002"}));
  EXPECT_EQ(json_get_string(wait_event("dji_ready", from).get(), "conn_type"), "usb");
  EXPECT_TRUE(connected_now());
}

TEST_F(DjiUsbTest, EndpointsAreTheInterfaceAndInterfacePlus0x81) {
  struct Case {
    int interface;
    const char* line;
  };
  const Case cases[] = {
      {1, "Connected USB PID=0x0020 intf 1 OUT=0x01 IN=0x82 (DUML OK)"},
      {0, "Connected USB PID=0x0020 intf 0 OUT=0x00 IN=0x81 (DUML OK)"},
      {7, "Connected USB PID=0x0020 intf 7 OUT=0x07 IN=0x88 (DUML OK)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.interface);
    devices({{kDji, 0x20, kIntf(c.interface), 1, 0}});
    size_t from = mark();
    Json r = connect();
    EXPECT_TRUE(json_get_bool(r.get(), "success"));
    expect_logged(from, {c.line});
    send("dji_disconnect_device");
    ASSERT_TRUE(dji_wait_idle_for_testing(10s));
  }
}

TEST_F(DjiUsbTest, WriteFailureIsLoggedAndTheSearchGoesOn) {
  devices({{kDji, 0x20, kIntf(4), 1, -5}});
  size_t from = mark();
  Json r = connect();
  EXPECT_EQ(json_get_string(r.get(), "message"), "No DJI device found");
  expect_logged(from, {"  intf 4: write failed (-5)", "Scanning COM ports..."});
}

TEST_F(DjiUsbTest, TimeOutsNeverEndTheReaderFiveOtherErrorsDo) {
  ASSERT_TRUE(connect_to({kDji, 0x20, kIntf(4), 1, 0}));
  size_t from = mark();
  push_result(0, -116, 6);
  push_result(0, -110, 6);
  push_result(0, 0, 3);
  push(0, "abc");
  push_result(0, -5, 4);
  push(0, "de");  // resets the error count
  push_result(0, -5, 4);
  push(0, "f");
  ASSERT_TRUE(eventually([&] { return joined(rx_batches(from)) == "abcdef"; }))
      << joined(rx_batches(from));
  EXPECT_TRUE(connected_now());

  push_result(0, -71, 5);
  Json result = wait_event("dji_operation_result", from);
  EXPECT_EQ(
      json_print(result.get()),
      R"j({"operation":"disconnect","success":true,"message":"Device disconnected (USB removed)"})j");
  expect_logged(from, {"Device lost (5 errors)"});
  EXPECT_TRUE(wait_event("dji_device_info", from,
                         [](const cJSON* d) { return !json_get_bool(d, "connected", true); }));
  EXPECT_FALSE(connected_now());
  // The lost link's handle stays until the next attempt closes it before it searches.
  EXPECT_EQ(count("close"), 0);
  size_t again = mark();
  ASSERT_TRUE(json_get_bool(connect().get(), "success")) << joined(log_lines(again));
  std::vector<std::string> seq;
  for (const std::string& l : calls(""))
    if (l.rfind("open", 0) == 0 || l.rfind("close", 0) == 0 || l.rfind("release", 0) == 0)
      seq.push_back(l);
  EXPECT_EQ(seq, (std::vector<std::string>{"open 000", "release 000 4", "close 000", "open 000"}));
}

TEST_F(DjiUsbTest, BatchesWholeReadsByWindow) {
  ASSERT_TRUE(connect_to({kDji, 0x20, kIntf(4), 1, 0}));
  size_t from = mark();
  // One packet per read, five to a window.
  const int kPackets = 30;
  const int kApartMs = static_cast<int>(kTestTimings.batch_window.count() / 5);
  std::string expected;
  for (int k = 0; k < kPackets; k++) {
    std::string p(100, static_cast<char>(k));
    expected += p;
    push(0, p, kApartMs);
  }
  ASSERT_TRUE(eventually([&] { return joined(rx_batches(from)).size() >= expected.size(); }, 30s));
  std::vector<std::string> batches = rx_batches(from);
  EXPECT_EQ(joined(batches), expected);
  for (const std::string& b : batches) EXPECT_EQ(b.size() % 100, 0u) << "a read was split";
  // 600 ms of reads make a few batches: neither one per read nor one in all.
  EXPECT_LE(batches.size(), static_cast<size_t>(kPackets / 2));
  EXPECT_GE(batches.size(), 3u);
}

TEST_F(DjiUsbTest, TransmitWritesToTheOutEndpoint) {
  ASSERT_TRUE(connect_to({kDji, 0x20, kIntf(1), 1, 0}));
  size_t from = mark();
  send("dji_tx", R"({"raw_hex":"0A0b"})");
  ASSERT_TRUE(status());
  EXPECT_EQ(usb_.written(0), std::string("\x0a\x0b", 2));
  EXPECT_EQ(calls("write").back(), "write 000 ep=0x01 len=2");
  EXPECT_TRUE(contains(log_lines(from), "TX #1: 2 bytes, ok=1"));
}

TEST_F(DjiUsbTest, DisconnectDuringAReadClosesOnlyAfterTheRead) {
  devices({{kDji, 0x20, kIntf(4), 1, 0}});
  for (int round = 0; round < 3; round++) {
    ASSERT_TRUE(json_get_bool(connect().get(), "success"));
    // The reader sleeps inside this read, for less than a disconnect waits.
    push(0, "late", static_cast<int>(kTestTimings.reader_stop_wait.count() / 3));
    ASSERT_TRUE(eventually([&] { return usb_.queued(0) == 0 && usb_.busy() > 0; }));
    size_t from = mark();
    send("dji_disconnect_device");
    Json r = wait_event("dji_operation_result", from);
    EXPECT_EQ(json_get_string(r.get(), "message"), "Disconnected");
    EXPECT_EQ(usb_.busy(), 0);
    EXPECT_EQ(count("close"), round + 1);
    ASSERT_TRUE(dji_wait_idle_for_testing(10s));
    for (const testing::Event& e : events(from))
      EXPECT_NE(json_get_string(e.d.get(), "message"), "Device disconnected (USB removed)");
  }
}

TEST_F(DjiUsbTest, DisconnectThenConnectAtOnce) {
  ASSERT_TRUE(connect_to({kDji, 0x20, kIntf(4), 1, 0}));
  size_t from = mark();
  for (int round = 0; round < 4; round++) {
    size_t start = mark();
    send("dji_disconnect_device");
    send("dji_connect_device");
    ASSERT_TRUE(wait_event("dji_ready", start));
  }
  EXPECT_TRUE(connected_now());
  for (const testing::Event& e : events(from)) {
    std::string message = json_get_string(e.d.get(), "message");
    EXPECT_NE(message, "Device disconnected (USB removed)");
    EXPECT_NE(message, "Auto-disconnect: device lost");
  }
  EXPECT_EQ(count("open"), 5);
  EXPECT_TRUE(eventually([&] { return count("close") == 4; })) << usb_.calls();
}

// The second request comes while the first attempt waits for the probe's
// answer, which the device gives late.
TEST_F(DjiUsbTest, TwoConnectRequestsAtOnce) {
  devices({{kDji, 0x20, kIntf(4), 0, 0}});
  push(0, "\x55", 500);
  size_t from = mark();
  send("dji_connect_device");
  ASSERT_TRUE(eventually([&] { return usb_.queued(0) == 0 && usb_.busy() > 0; }));
  send("dji_connect_device");
  ASSERT_TRUE(wait_event("dji_ready", from));
  std::vector<std::string> results;
  for (const testing::Event& e : events(from))
    if (e.name == "dji_operation_result") results.push_back(json_get_string(e.d.get(), "message"));
  EXPECT_EQ(results,
            (std::vector<std::string>{"Connection attempt in progress", "Connected via usb"}));
  EXPECT_EQ(count("open"), 1);
}

// A reader stuck in a read longer than a disconnect waits: the link closes
// and a new one is made meanwhile. The old reader, when its read ends with
// an error, neither stops the new reader nor reports the new link lost,
// and its handle closes only when it lets go.
TEST_F(DjiUsbTest, StuckReaderNeverActsOnTheNextLink) {
  ASSERT_TRUE(connect_to({kDji, 0x20, kIntf(4), 1, 0}));
  // The read outlasts the disconnect's wait and the next connect.
  const auto stuck = kTestTimings.reader_stop_wait + kTestTimings.ready_settle + 300ms;
  push_result(0, -5, 1, static_cast<int>(stuck.count()));
  ASSERT_TRUE(eventually([&] { return usb_.queued(0) == 0 && usb_.busy() > 0; }));
  size_t from = mark();
  send("dji_disconnect_device");
  send("dji_connect_device");
  ASSERT_TRUE(wait_event("dji_ready", from));
  EXPECT_EQ(count("open"), 2);
  ASSERT_TRUE(eventually([&] { return count("close") == 1; }));  // the old handle, after its read
  push(0, "new");
  ASSERT_TRUE(eventually([&] { return joined(rx_batches(from)) == "new"; }));
  EXPECT_TRUE(connected_now());
  EXPECT_FALSE(contains(log_lines(from), "Auto-disconnect: device lost"));
}

}  // namespace
}  // namespace halvex
