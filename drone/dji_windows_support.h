// Shared by the Windows drone tests: the link driven through its handlers
// (the dispatcher, without a server: the Windows WebSocket transport is
// tested on its own), with the outcome read from the drone link's log
// lines, which carry every step of an attempt.

#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "drone/dji.h"
#include "drone/dji_testing.h"
#include "link/proto.h"
#include "platform/serial.h"
#include "platform/win32/serial_testing.h"
#include "tests/support/temp_dir.h"

namespace halvex::testing {

using namespace std::chrono_literals;

class DjiWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_open(dir_.file("service.log"));
    proto_init();
    dji_register_handlers();
    dji_set_port_dir_for_testing(serial_default_port_dir());
    // Only the test's own port: COM1 and its kin are the host's serial lines.
    serial_set_ports_for_testing({"COM9"});
  }
  void TearDown() override {
    send("dji_disconnect_device");
    EXPECT_TRUE(dji_wait_idle_for_testing(30s));
    dji_reset_for_testing();
    serial_set_ports_for_testing({});
    log_close();
  }

  static void send(const std::string& event, const std::string& d = "{}") {
    std::string text = "{\"e\":\"" + event + "\",\"d\":" + d + "}";
    proto_on_message(text.data(), text.size());
  }

  // The drone link's log lines ("dji: " taken off) from line `from` on.
  std::vector<std::string> dji_lines(size_t from = 0) const {
    std::vector<std::string> out;
    std::vector<std::string> lines = read_lines(dir_.file("service.log"));
    for (size_t i = from; i < lines.size(); i++) {
      size_t at = lines[i].find("dji: ");
      if (at != std::string::npos) out.push_back(lines[i].substr(at + 5));
    }
    return out;
  }
  size_t mark() const { return read_lines(dir_.file("service.log")).size(); }

  bool has_line(const std::string& line, size_t from = 0) const {
    for (const std::string& l : dji_lines(from))
      if (l == line) return true;
    return false;
  }

  // Waits until the log holds `line`; false when `timeout` passed first.
  bool wait_line(const std::string& line, size_t from = 0,
                 std::chrono::milliseconds timeout = 30s) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!has_line(line, from)) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }

  std::string all_lines(size_t from = 0) const {
    std::string out;
    for (const std::string& l : dji_lines(from)) out += l + "\n";
    return out;
  }

  TempDir dir_;
};

}  // namespace halvex::testing
