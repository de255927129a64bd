// The WebSocket client over the Windows transport, under wine, against the
// TLS test servers of tests/support/wine_tls_server.py: whole messages out
// of fragments, heartbeats, and a close that ends the run promptly even
// when the server has gone silent.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/ws_client.h"
#include "link/ws_client_testing.h"
#include "platform/clock_testing.h"
#include "platform/tls.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::mutex g_mu;
std::condition_variable g_cv;
std::vector<std::string> g_messages;
std::vector<bool> g_states;

void on_message(const char* text, size_t len) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_messages.emplace_back(text, len);
  g_cv.notify_all();
}

void on_state(bool connected) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_states.push_back(connected);
  g_cv.notify_all();
}

// The servers' folder as wine sees it.
std::string server_dir() {
  const char* dir = std::getenv("HALVEX_WINE_TLS_DIR");
  return dir == nullptr ? "" : std::string("Z:") + dir;
}

std::string ws_url(const std::string& server, const std::string& path) {
  for (const std::string& line : testing::read_lines(server_dir() + "/ports"))
    if (line.rfind(server + "=", 0) == 0)
      return "wss://localhost:" + line.substr(server.size() + 1) + path;
  return "";
}

bool server_logged(const std::string& line) {
  for (auto end = Clock::now() + 5s; Clock::now() < end; std::this_thread::sleep_for(20ms))
    if (testing::read_file(server_dir() + "/events.log").find(line + "\n") != std::string::npos)
      return true;
  return false;
}

template <class Pred>
bool wait_until(Pred pred) {
  std::unique_lock<std::mutex> lock(g_mu);
  return g_cv.wait_for(lock, 10s, pred);
}

class WsClientWineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ws_init(on_message, on_state); }
  void SetUp() override {
    ASSERT_FALSE(server_dir().empty()) << "HALVEX_WINE_TLS_DIR is not set (run through ctest)";
    tls_set_ca_file(server_dir() + "/ca.pem");
    std::lock_guard<std::mutex> lock(g_mu);
    g_messages.clear();
    g_states.clear();
  }
  void TearDown() override {
    clock_set_time_scale_for_testing(100);
    tls_set_ca_file("");
  }
};

TEST_F(WsClientWineTest, DeliversWholeMessagesSendsHeartbeatsAndClosesWith1000) {
  clock_set_time_scale_for_testing(1.5);  // heartbeats every 300 ms
  std::thread run([] { ws_run(ws_url("good", "/echo-link")); });
  ASSERT_TRUE(wait_until([] { return !g_states.empty(); }));
  EXPECT_TRUE(g_states[0]);
  ASSERT_TRUE(ws_send_text("hello", 5));
  ASSERT_TRUE(ws_send_text("fragments", 9));
  ASSERT_TRUE(wait_until([] { return g_messages.size() >= 2; }));
  // The heartbeat's 24 bytes reach the server on their own.
  EXPECT_TRUE(server_logged("/echo-link frame 1 24"));
  {
    std::lock_guard<std::mutex> lock(g_mu);
    std::vector<std::string> mine;
    for (const std::string& m : g_messages)
      if (m.find("heartbeat") == std::string::npos) mine.push_back(m);
    EXPECT_EQ(mine, (std::vector<std::string>{"hello", "abcdefghi"}));
  }
  ws_close();
  run.join();
  EXPECT_TRUE(server_logged("/echo-link close 1000"));
  std::lock_guard<std::mutex> lock(g_mu);
  EXPECT_EQ(g_states, (std::vector<bool>{true, false}));
  EXPECT_FALSE(ws_is_connected());
}

TEST_F(WsClientWineTest, CloseEndsARunWhoseServerWentSilent) {
  std::thread run([] { ws_run(ws_url("good", "/silent")); });
  ASSERT_TRUE(wait_until([] { return !g_states.empty(); }));
  auto start = Clock::now();
  ws_close();
  ASSERT_TRUE(wait_until([] { return g_states.size() == 2; }))
      << "the run did not end after ws_close";
  run.join();
  // Far below the heartbeat interval: the read was ended, not outwaited.
  EXPECT_LT(Clock::now() - start, 10s);
}

TEST_F(WsClientWineTest, AnUntrustedServerNeverComesUp) {
  ws_run(ws_url("other_ca", "/echo-link-other-ca"));
  EXPECT_FALSE(ws_is_connected());
  EXPECT_FALSE(ws_send_text("secret", 6));
  std::lock_guard<std::mutex> lock(g_mu);
  EXPECT_TRUE(g_states.empty());
}

}  // namespace
}  // namespace halvex
