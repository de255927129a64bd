// The WebSocket client against a real TLS WebSocket server on loopback.

#include "link/ws_client.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "core/log.h"
#include "link/ws_client_testing.h"
#include "platform/clock_testing.h"
#include "platform/tls.h"
#include "platform/ws_transport.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_pki.h"
#include "tests/support/ws_test_server.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;
using testing::TestPki;
using testing::WsTestServer;

// What the client's callbacks saw.
struct Seen {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> messages;
  std::vector<bool> states;
  std::vector<bool> replaced;  // ws_run_was_replaced() inside the callback
};
Seen* g_seen = nullptr;

void on_message(const char* text, size_t len) {
  std::lock_guard<std::mutex> lock(g_seen->mu);
  EXPECT_EQ(text[len], '\0');
  g_seen->messages.emplace_back(text, len);
  g_seen->cv.notify_all();
}

void on_state(bool connected) {
  std::lock_guard<std::mutex> lock(g_seen->mu);
  g_seen->states.push_back(connected);
  g_seen->replaced.push_back(ws_run_was_replaced());
  g_seen->cv.notify_all();
}

class WsClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    pki_ = new TestPki(*testing::make_test_pki({"localhost", "127.0.0.1"}, &error));
    other_ca_ = new TestPki(*testing::make_test_pki({"localhost"}, &error));
    wrong_name_ = new TestPki(*testing::make_test_pki({"other.example"}, &error));
  }
  static void TearDownTestSuite() {
    for (TestPki* p : {pki_, other_ca_, wrong_name_}) {
      testing::remove_test_pki(*p);
      delete p;
    }
  }

  void SetUp() override {
    g_seen = &seen_;
    ws_init(on_message, on_state);
    tls_set_ca_file(pki_->ca_cert_path);
    clock_set_time_scale_for_testing(100);
    log_open(logdir_.file("service.log"));
  }
  void TearDown() override {
    ws_close();
    for (auto& t : runs_) t.join();
    ws_set_transport_factory_for_testing(nullptr);
    if (server_) server_->stop();
    log_close();
    g_seen = nullptr;
  }

  void start_server(const TestPki& pki) {
    server_ = std::make_unique<WsTestServer>(pki.cert_path, pki.key_path);
    std::string error;
    ASSERT_TRUE(server_->start(&error)) << error;
  }
  std::string url(const char* host = "localhost") {
    return std::string("wss://") + host + ":" + std::to_string(server_->port()) + "/ws";
  }
  // Starts ws_run on its own thread and waits for the server to see the upgrade.
  void connect(int nth = 1) {
    runs_.emplace_back([u = url()] { ws_run(u); });
    ASSERT_TRUE(server_->wait_for_connections(nth, 10s));
    ASSERT_TRUE(wait([&] { return seen_.states.size() >= static_cast<size_t>(2 * nth - 1); }));
  }
  template <class Pred>
  bool wait(Pred pred, std::chrono::milliseconds limit = 10s) {
    std::unique_lock<std::mutex> lock(seen_.mu);
    return seen_.cv.wait_for(lock, limit, pred);
  }
  // A server with the trusted certificate and a run connected to it.
  void connected() {
    start_server(*pki_);
    connect();
  }
  std::string log_text() { return testing::read_text_file(logdir_.file("service.log")); }

  static TestPki* pki_;
  static TestPki* other_ca_;
  static TestPki* wrong_name_;
  Seen seen_;
  TempDir logdir_;
  std::unique_ptr<WsTestServer> server_;
  std::vector<std::thread> runs_;
};

TestPki* WsClientTest::pki_ = nullptr;
TestPki* WsClientTest::other_ca_ = nullptr;
TestPki* WsClientTest::wrong_name_ = nullptr;

TEST_F(WsClientTest, UpgradeRequestAndMessageSizeLimit) {
  connected();
  EXPECT_EQ(server_->last_target(), "/ws");
  EXPECT_EQ(server_->last_user_agent(), "Halvex_Service/1.0");
  EXPECT_TRUE(ws_is_connected());

  std::string exact(kWsMaxMessage, 'x');
  std::string over(kWsMaxMessage + 1, 'y');
  server_->send_text(exact);
  server_->send_text(over);
  server_->send_fragmented(std::string(200000, 'z'), 7000);  // too large, in frames
  server_->send_text("after");
  ASSERT_TRUE(wait([&] { return seen_.messages.size() >= 2; }));
  EXPECT_EQ(seen_.messages, (std::vector<std::string>{exact, "after"}));  // the link stayed up
  std::string log = log_text();
  size_t n = 0;
  for (size_t at = log.find("WARN ] ws: message too large, dropping"); at != std::string::npos;
       at = log.find("WARN ] ws: message too large, dropping", at + 1))
    n++;
  EXPECT_EQ(n, 2u) << log;
}

TEST_F(WsClientTest, FragmentedAndBinaryMessagesArriveWhole) {
  connected();
  std::string big(kWsMaxMessage, 'f');
  for (size_t i = 0; i < big.size(); i += 97) big[i] = static_cast<char>('a' + i % 26);
  server_->send_fragmented(big, 4096);
  server_->send_fragmented("{\"e\":\"x\"}", 1);
  server_->send_binary(std::string("bin\x01\x02", 5));
  ASSERT_TRUE(wait([&] { return seen_.messages.size() >= 3; }));
  EXPECT_EQ(seen_.messages,
            (std::vector<std::string>{big, "{\"e\":\"x\"}", std::string("bin\x01\x02", 5)}));
}

TEST_F(WsClientTest, ServerCloseEndsTheRun) {
  connected();
  server_->close();
  ASSERT_TRUE(wait([&] { return seen_.states.size() == 2; }));
  EXPECT_EQ(seen_.states, (std::vector<bool>{true, false}));
  EXPECT_EQ(seen_.replaced, (std::vector<bool>{false, false}));
  EXPECT_FALSE(ws_is_connected());
  std::string log = log_text();
  size_t close_at = log.find("INFO ] ws: server sent close");
  ASSERT_NE(close_at, std::string::npos) << log;
  EXPECT_LT(close_at, log.find("INFO ] ws: disconnected"));
  EXPECT_EQ(log.find("receive error"), std::string::npos);
}

TEST_F(WsClientTest, CutConnectionIsAReceiveError) {
  connected();
  server_->drop();
  ASSERT_TRUE(wait([&] { return seen_.states.size() == 2; }));
  EXPECT_NE(log_text().find("WARN ] ws: receive error ("), std::string::npos) << log_text();
}

// ws_close from another thread: no receive error, and the run ends at once
// (the heartbeat's 20 s sleep doesn't hold the teardown).
TEST_F(WsClientTest, CloseMidConnectionIsQuietAndPrompt) {
  connected();
  auto before = std::chrono::steady_clock::now();
  std::thread([] { ws_close(); }).join();
  ASSERT_TRUE(wait([&] { return seen_.states.size() == 2; }, 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
  ASSERT_TRUE(server_->wait_for_disconnect(1, 5s));
  std::string log = log_text();
  EXPECT_EQ(log.find("receive error"), std::string::npos) << log;
  EXPECT_EQ(log.find("server sent close"), std::string::npos) << log;
  EXPECT_NE(log.find("INFO ] ws: disconnected"), std::string::npos);
  EXPECT_FALSE(ws_send_text("x", 1));
}

TEST_F(WsClientTest, SendsFromManyThreadsArriveWhole) {
  connected();
  const int kThreads = 8, kEach = 40;
  std::vector<std::thread> senders;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; t++) {
    senders.emplace_back([t, &failures] {
      for (int i = 0; i < kEach; i++) {
        std::string msg =
            std::to_string(t) + ":" + std::to_string(i) + ":" +
            std::string(static_cast<size_t>(100 + 311 * i), static_cast<char>('a' + t));
        if (!ws_send_text(msg.data(), msg.size())) failures++;
      }
    });
  }
  for (auto& s : senders) s.join();
  EXPECT_EQ(failures, 0);
  auto got = server_->wait_for_messages(kThreads * kEach, 20s);
  ASSERT_EQ(got.size(), static_cast<size_t>(kThreads * kEach));
  std::vector<int> next(kThreads, 0);
  for (const auto& m : got) {
    int t = std::stoi(m.data);
    size_t c1 = m.data.find(':'), c2 = m.data.find(':', c1 + 1);
    int i = std::stoi(m.data.substr(c1 + 1));
    EXPECT_EQ(i, next[t]++);  // each thread's messages in order
    EXPECT_EQ(m.data.substr(c2 + 1),
              std::string(static_cast<size_t>(100 + 311 * i), static_cast<char>('a' + t)));
    EXPECT_FALSE(m.binary);
  }
}

TEST_F(WsClientTest, HandlersMaySendFromTheConnectionThread) {
  start_server(*pki_);
  // Echo from inside the message callback, which runs on the connection thread.
  ws_init([](const char* text, size_t len) { ws_send_text(text, len); }, on_state);
  connect();
  server_->send_text("ping-1");
  server_->send_text("ping-2");
  auto got = server_->wait_for_messages(2, 10s);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].data, "ping-1");
  EXPECT_EQ(got[1].data, "ping-2");
}

TEST_F(WsClientTest, HeartbeatEveryInterval) {
  clock_set_time_scale_for_testing(0.75);  // heartbeats every 150 ms
  connected();
  auto got = server_->wait_for_messages(3, 10s);
  ASSERT_GE(got.size(), 3u);
  for (const auto& m : got) EXPECT_EQ(m.data, "{\"e\":\"heartbeat\",\"d\":{}}");
}

TEST_F(WsClientTest, SendWithoutConnectionFailsSilently) {
  EXPECT_FALSE(ws_is_connected());
  EXPECT_FALSE(ws_send_text("x", 1));
  EXPECT_EQ(log_text(), "");
}

TEST_F(WsClientTest, UntrustedServersAreRefused) {
  const std::pair<TestPki*, const char*> cases[] = {
      {other_ca_, "unable to get local issuer certificate"},
      {wrong_name_, "hostname mismatch"},
  };
  for (auto [pki, cause] : cases) {
    SCOPED_TRACE(cause);
    // The wrong-name certificate comes from a CA we trust.
    tls_set_ca_file(pki == wrong_name_ ? wrong_name_->ca_cert_path : pki_->ca_cert_path);
    start_server(*pki);
    ws_run(url());  // returns: the connection never comes up
    EXPECT_TRUE(seen_.states.empty());
    std::string log = log_text();
    EXPECT_NE(log.find("ERROR] ws: WinHttpSendRequest failed ("), std::string::npos) << log;
    EXPECT_NE(log.find(cause), std::string::npos) << log;
    server_->stop();
  }
  // Nothing listening: a connection error, not a hang.
  ws_run("wss://127.0.0.1:1/ws");
  EXPECT_TRUE(seen_.states.empty());
  ws_run("https://localhost/ws");
  EXPECT_NE(log_text().find("ERROR] ws: invalid URL: https://localhost/ws"), std::string::npos);
}

// The real transport, with hooks just before a connect and just after its upgrade.
struct ConnectHooks {
  std::function<void()> before;
  std::function<void()> after_upgrade;
};
ConnectHooks* g_hooks = nullptr;

class HookedTransport final : public WsTransport {
 public:
  WsConnectResult connect(const WsEndpoint& ep) override {
    if (g_hooks->before) g_hooks->before();
    WsConnectResult r = real_->connect(ep);
    if (r.step == WsConnectStep::kOk && g_hooks->after_upgrade) g_hooks->after_upgrade();
    return r;
  }
  WsReadResult read(char* buf, size_t cap) override { return real_->read(buf, cap); }
  bool write_text(const char* data, size_t len, unsigned long* code) override {
    return real_->write_text(data, len, code);
  }
  void close() override { real_->close(); }

 private:
  std::unique_ptr<WsTransport> real_ = ws_transport_create();
};

// A ws_close racing a connect: once ws_close has returned, the closed link
// is never reported as connected, wherever in the connect the close landed.
TEST_F(WsClientTest, CloseRacingConnectNeverLeavesTheLinkUp) {
  start_server(*pki_);
  ConnectHooks hooks;
  g_hooks = &hooks;
  ws_set_transport_factory_for_testing(
      []() -> std::unique_ptr<WsTransport> { return std::make_unique<HookedTransport>(); });

  // The close lands after the upgrade, before the link is marked up: no state callback.
  hooks.after_upgrade = [] { std::thread([] { ws_close(); }).join(); };
  ws_run(url());
  hooks.after_upgrade = nullptr;
  {
    std::lock_guard<std::mutex> lock(seen_.mu);
    EXPECT_TRUE(seen_.states.empty());
  }
  EXPECT_FALSE(ws_is_connected());
  EXPECT_EQ(log_text().find("ws: connected"), std::string::npos) << log_text();

  // The close lands anywhere in the connect: none is reported up after ws_close returned.
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> delay_us(0, 30000);
  int reported_up = 0;
  for (int i = 0; i < 30; i++) {
    std::atomic<bool> started{false}, done{false};
    hooks.before = [&] { started = true; };
    std::thread run([&done, u = url()] {
      ws_run(u);
      done = true;
    });
    while (!started) std::this_thread::sleep_for(100us);
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(rng)));
    std::thread([] { ws_close(); }).join();
    while (!done) {
      if (ws_is_connected()) reported_up++;
      std::this_thread::sleep_for(100us);
    }
    run.join();
  }
  hooks.before = nullptr;
  EXPECT_EQ(reported_up, 0);
  g_hooks = nullptr;
}

// A new run replaces the old connection. The old run's teardown, heartbeat
// and state report concern only its own connection.
TEST_F(WsClientTest, StaleRunNeverTouchesTheNewConnection) {
  clock_set_time_scale_for_testing(0.5);  // heartbeats every 100 ms
  start_server(*pki_);
  connect(1);
  connect(2);  // closes connection 1 first
  ASSERT_TRUE(wait([&] { return seen_.states.size() == 3; }));
  ASSERT_TRUE(server_->wait_for_disconnect(1, 5s));
  runs_[0].join();  // the old run has ended: it reported its end once, the new link is up
  runs_.erase(runs_.begin());
  EXPECT_EQ(std::count(seen_.states.begin(), seen_.states.end(), true), 2);
  EXPECT_EQ(std::count(seen_.states.begin(), seen_.states.end(), false), 1);
  for (size_t i = 0; i < seen_.states.size(); i++) EXPECT_EQ(seen_.replaced[i], !seen_.states[i]);
  EXPECT_TRUE(ws_is_connected());
  ASSERT_TRUE(ws_send_text("still-here", 10));
  // Heartbeats keep flowing on the new connection only.
  size_t before = server_->messages().size();
  auto got = server_->wait_for_messages(before + 3, 5s);
  bool found = false;
  int late_on_old = 0;
  for (size_t i = 0; i < got.size(); i++) {
    if (got[i].data == "still-here") {
      EXPECT_EQ(got[i].conn, 2);
      found = true;
    }
    if (i >= before && got[i].conn == 1) late_on_old++;
  }
  EXPECT_TRUE(found);
  EXPECT_EQ(late_on_old, 0);
  EXPECT_GE(got.size(), before + 3);
  EXPECT_EQ(server_->open_connections(), 1);
}

}  // namespace
}  // namespace halvex
