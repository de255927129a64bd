// Load: 200 simulated agents pair, authenticate and beat their hearts at once
// against the real recovery-server on loopback, each over its own WebSocket
// transport (the agent's platform transport, real TLS) with its own Ed25519
// key. All must authenticate and stay connected; at shutdown each must get
// the server's close frame.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include "core/json.h"
#include "tests/security/linked_agent.h"
#include "tests/support/eventually.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using halvex::testing::eventually;

constexpr int kAgents = 200;
constexpr int kHeartbeats = 3;
constexpr auto kHeartbeatEvery = 1s;  // the agent's 20 s, compressed
constexpr auto kPhaseTimeout = 90s;

struct Agent {
  int index = 0;
  std::string code;
  std::unique_ptr<testing::AgentClient> client;
  std::string error;  // the first failure
  bool closed_by_server = false;
};

std::atomic<int> g_authed{0}, g_beat{0};

void run_agent(Agent& a, uint16_t port) {
  // Pairing on a first connection.
  testing::AgentClient& pairing = *a.client;
  if (!pairing.connect(port) || !pairing.pair_request(a.code)) {
    a.error = "pairing connection failed";
    return;
  }
  Json msg = pairing.next_event();
  if (json_get_string(msg.get(), "e") != "pair_success") {
    a.error = "waiting for pair_success: " + (msg ? json_print(msg.get()) : "connection ended");
    return;
  }
  pairing.close();
  // Authentication with the stored key on a second one, which stays.
  testing::AgentClient t(pairing.machine_id());
  t.use_key_of(pairing);
  if (!t.connect(port)) {
    a.error = "reconnect failed";
    return;
  }
  std::string auth = t.authenticate();
  if (auth != "auth_ok") {
    a.error = "authenticate: " + auth;
    return;
  }
  g_authed++;
  for (int i = 0; i < kHeartbeats; i++) {
    std::this_thread::sleep_for(kHeartbeatEvery);
    if (!t.send("heartbeat", json_object())) {
      a.error = "heartbeat " + std::to_string(i) + " not sent";
      return;
    }
  }
  g_beat++;
  // Nothing more comes until the server shuts down and says goodbye.
  WsReadKind end = WsReadKind::kMessage;
  a.closed_by_server = !t.next_event(&end) && end == WsReadKind::kClose;
  t.close();
}

using ServerLoadTest = testing::ServerTest;

TEST_F(ServerLoadTest, TwoHundredAgentsPairAuthenticateAndStayConnected) {
  ASSERT_TRUE(serve({"loaduser"}));
  std::vector<Agent> agents(kAgents);
  for (int i = 0; i < kAgents; i++) {
    Agent& a = agents[static_cast<size_t>(i)];
    a.index = i;
    char id[16];
    std::snprintf(id, sizeof id, "10ad%08x", i);
    a.client = std::make_unique<testing::AgentClient>(id);
    a.code = testing::pair_code("LD", i, 4);
  }
  std::vector<std::thread> threads;
  for (Agent& a : agents) threads.emplace_back(run_agent, std::ref(a), server_.port());

  // The operator approves every code as soon as the server holds it.
  server::ClientRequest rq = server_.request("/api/approve", true);
  rq.method = "POST";
  rq.content_type = "application/json";
  auto deadline = std::chrono::steady_clock::now() + kPhaseTimeout;
  int approved = 0;
  for (Agent& a : agents) {
    rq.body = "{\"code\":\"" + a.code + "\",\"user\":\"loaduser\"}";
    for (;;) {
      std::string error;
      std::optional<server::ClientReply> reply = server::https_request(rq, &error);
      if (reply && reply->status == 200) {
        approved++;
        break;
      }
      if (std::chrono::steady_clock::now() > deadline || !a.error.empty()) break;
      std::this_thread::sleep_for(20ms);
    }
  }
  EXPECT_EQ(approved, kAgents);
  EXPECT_TRUE(eventually([] { return g_authed.load() == kAgents; }, kPhaseTimeout))
      << g_authed << " of " << kAgents << " authenticated";
  EXPECT_TRUE(eventually([] { return g_beat.load() == kAgents; }, kPhaseTimeout))
      << g_beat << " of " << kAgents << " sent every heartbeat";

  // Still all there, as the server sees it.
  std::string error;
  std::optional<server::ClientReply> machines =
      server::https_request(server_.request("/api/machines", true), &error);
  ASSERT_TRUE(machines) << error;
  Json parsed = json_parse(machines->body);
  EXPECT_EQ(testing::count_of(json_print(json_get(parsed.get(), "machines")), "\"online\":true"),
            static_cast<size_t>(kAgents));

  EXPECT_EQ(server_.stop(), 0) << server_.last_output();
  for (auto& t : threads) t.join();
  int closed = 0;
  for (const Agent& a : agents) {
    EXPECT_TRUE(a.error.empty()) << "agent " << a.index << ": " << a.error;
    closed += a.closed_by_server;
  }
  EXPECT_EQ(closed, kAgents) << "agents that got the server's close frame";
}

}  // namespace
}  // namespace halvex
