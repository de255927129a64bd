// Load: 200 simulated agents pair, authenticate and beat their hearts at once
// against the real recovery-server on loopback, each over its own WebSocket
// transport (the agent's platform transport, real TLS) with its own Ed25519
// key. All must authenticate and stay connected; at shutdown each must get
// the server's close frame. The server's peak memory and CPU time are
// printed for the record (never asserted).

#include <gtest/gtest.h>
#include <sodium.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "core/codec.h"
#include "core/json.h"
#include "platform/tls.h"
#include "platform/ws_transport.h"
#include "server/net.h"
#include "tests/integration/server_process.h"
#include "tests/support/eventually.h"
#include "tests/support/temp_dir.h"

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
  std::string machine_id, code;
  unsigned char pk[crypto_sign_PUBLICKEYBYTES];
  unsigned char sk[crypto_sign_SECRETKEYBYTES];
  std::string error;  // the first failure
  bool paired = false, authed = false, beat = false, closed_by_server = false;
};

std::atomic<int> g_paired{0}, g_authed{0}, g_beat{0};

// The next whole message, or "" with *kind telling why there is none.
std::string read_message(WsTransport& t, WsReadKind* kind) {
  std::string text;
  char buf[4096];
  for (;;) {
    WsReadResult r = t.read(buf, sizeof buf);
    *kind = r.kind;
    if (r.kind == WsReadKind::kFragment || r.kind == WsReadKind::kMessage) text.append(buf, r.bytes);
    if (r.kind != WsReadKind::kFragment) return r.kind == WsReadKind::kMessage ? text : "";
  }
}

bool send(WsTransport& t, const std::string& name, Json d, Agent& a) {
  Json env = json_object();
  json_add_string(env.get(), "e", name);
  json_add_item(env.get(), "d", std::move(d));
  std::string text = json_print(env.get());
  unsigned long code = 0;
  if (t.write_text(text.data(), text.size(), &code)) return true;
  if (a.error.empty()) a.error = "send " + name + ": error " + std::to_string(code);
  return false;
}

// Reads until event `name`; its "d" printed, or nullopt.
std::optional<std::string> await_event(WsTransport& t, const std::string& name, Agent& a) {
  for (;;) {
    WsReadKind kind;
    std::string text = read_message(t, &kind);
    if (kind != WsReadKind::kMessage) {
      if (a.error.empty()) a.error = "waiting for " + name + ": connection ended";
      return std::nullopt;
    }
    Json msg = json_parse(text);
    if (json_get_string(msg.get(), "e") == name) return json_print(json_get(msg.get(), "d"));
    if (json_get_string(msg.get(), "e") == "auth_fail") {
      a.error = "waiting for " + name + ": " + text;
      return std::nullopt;
    }
  }
}

void run_agent(Agent& a, uint16_t port) {
  WsEndpoint ep;
  ep.host = "localhost";
  ep.port = port;
  ep.path = "/ws";
  ep.user_agent = "Halvex_Service/1.0";
  {
    // Pairing on a first connection.
    std::unique_ptr<WsTransport> t = ws_transport_create();
    WsConnectResult r = t->connect(ep);
    if (r.step != WsConnectStep::kOk) {
      a.error = "connect: " + r.cause;
      return;
    }
    Json d = json_object();
    json_add_string(d.get(), "code", a.code);
    json_add_string(d.get(), "public_key", base64_encode(a.pk, sizeof a.pk));
    json_add_string(d.get(), "platform", "Linux");
    json_add_string(d.get(), "version", "0.2.1");
    json_add_string(d.get(), "build", "native");
    json_add_string(d.get(), "machine_id", a.machine_id);
    json_add_string(d.get(), "hostname", "load-" + std::to_string(a.index));
    if (!send(*t, "service_pair_request", std::move(d), a) || !await_event(*t, "pair_success", a)) return;
    a.paired = true;
    g_paired++;
    t->close();
  }
  // Authentication with the stored key on a second one, which stays.
  std::unique_ptr<WsTransport> t = ws_transport_create();
  WsConnectResult r = t->connect(ep);
  if (r.step != WsConnectStep::kOk) {
    a.error = "reconnect: " + r.cause;
    return;
  }
  Json d = json_object();
  json_add_string(d.get(), "machine_id", a.machine_id);
  if (!send(*t, "service_auth_key", std::move(d), a)) return;
  std::optional<std::string> challenge_d = await_event(*t, "auth_challenge", a);
  if (!challenge_d) return;
  std::string challenge = json_get_string(json_parse(*challenge_d).get(), "challenge");
  unsigned char sig[crypto_sign_BYTES];
  crypto_sign_detached(sig, nullptr, reinterpret_cast<const unsigned char*>(challenge.data()), challenge.size(), a.sk);
  Json resp = json_object();
  json_add_string(resp.get(), "signature", base64_encode(sig, sizeof sig));
  json_add_string(resp.get(), "public_key", base64_encode(a.pk, sizeof a.pk));
  if (!send(*t, "auth_response", std::move(resp), a) || !await_event(*t, "auth_ok", a)) return;
  a.authed = true;
  g_authed++;
  for (int i = 0; i < kHeartbeats; i++) {
    std::this_thread::sleep_for(kHeartbeatEvery);
    if (!send(*t, "heartbeat", json_object(), a)) return;
  }
  a.beat = true;
  g_beat++;
  // Nothing more comes until the server shuts down and says goodbye.
  WsReadKind kind;
  read_message(*t, &kind);
  a.closed_by_server = kind == WsReadKind::kClose;
  t->close();
}

// "VmHWM:  12345 kB" from /proc/<pid>/status.
std::string proc_status_field(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field + ":", 0) == 0) return line.substr(field.size() + 1);
  return "?";
}

// User and system CPU seconds from /proc/<pid>/stat.
std::pair<double, double> proc_cpu_seconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  size_t close = all.rfind(')');
  if (close == std::string::npos) return {0, 0};
  std::istringstream rest(all.substr(close + 2));
  std::string field;
  double utime = 0, stime = 0;
  for (int i = 3; rest >> field; i++) {  // field 3 is the state
    if (i == 14) utime = std::stod(field);
    if (i == 15) {
      stime = std::stod(field);
      break;
    }
  }
  double hz = static_cast<double>(sysconf(_SC_CLK_TCK));
  return {utime / hz, stime / hz};
}


TEST(ServerLoadTest, TwoHundredAgentsPairAuthenticateAndStayConnected) {
  ASSERT_GE(sodium_init(), 0);
  testing::TempDir dir;
  testing::ServerProcess server(dir.path());
  ASSERT_TRUE(server.init({}));
  ASSERT_TRUE(server.start());
  tls_set_ca_file(server.ca_file());
  std::string token = testing::read_text_file(server.data() + "/admin.token");
  token.erase(token.find_last_not_of("\n") + 1);
  ASSERT_EQ(server.run({"user", "add", "loaduser"}, "pw\n"), 0);

  static constexpr char kAlphabet[] = "ABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  std::vector<Agent> agents(kAgents);
  for (int i = 0; i < kAgents; i++) {
    Agent& a = agents[static_cast<size_t>(i)];
    a.index = i;
    char id[16];
    std::snprintf(id, sizeof id, "10ad%08x", i);
    a.machine_id = id;
    a.code = "LD";
    for (int n = i, k = 0; k < 4; k++, n /= 32) a.code += kAlphabet[n % 32];
    crypto_sign_keypair(a.pk, a.sk);
  }
  auto started = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (Agent& a : agents) threads.emplace_back(run_agent, std::ref(a), server.port());

  // The operator approves every code as soon as the server holds it.
  server::ClientRequest rq;
  rq.host = "127.0.0.1";
  rq.port = server.port();
  rq.ca_file = server.ca_file();
  rq.method = "POST";
  rq.target = "/api/approve";
  rq.authorization = "Bearer " + token;
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
  bool all_authed = eventually([] { return g_authed.load() == kAgents; }, kPhaseTimeout);
  auto authed_at = std::chrono::steady_clock::now();
  bool all_beat = eventually([] { return g_beat.load() == kAgents; }, kPhaseTimeout);
  EXPECT_TRUE(all_authed) << g_authed << " of " << kAgents << " authenticated";
  EXPECT_TRUE(all_beat) << g_beat << " of " << kAgents << " sent every heartbeat";

  // Still all there, as the server sees it.
  server::ClientRequest list = rq;
  list.method = "GET";
  list.target = "/api/machines";
  list.body.clear();
  list.content_type.clear();
  std::string error;
  std::optional<server::ClientReply> machines = server::https_request(list, &error);
  ASSERT_TRUE(machines) << error;
  Json parsed = json_parse(machines->body);
  int online = 0;
  std::string printed = json_print(json_get(parsed.get(), "machines"));
  for (size_t at = printed.find("\"online\":true"); at != std::string::npos; at = printed.find("\"online\":true", at + 1))
    online++;
  EXPECT_EQ(online, kAgents);

  auto [user_s, sys_s] = proc_cpu_seconds(server.pid());
  std::printf("load: %d agents paired %d, authenticated %d, heartbeats done %d, online %d\n", kAgents,
              g_paired.load(), g_authed.load(), g_beat.load(), online);
  std::printf("load: pairing + authentication of all took %.2f s\n",
              std::chrono::duration<double>(authed_at - started).count());
  std::printf("load: server peak RSS (VmHWM)%s, RSS now (VmRSS)%s, threads%s\n",
              proc_status_field(server.pid(), "VmHWM").c_str(), proc_status_field(server.pid(), "VmRSS").c_str(),
              proc_status_field(server.pid(), "Threads").c_str());
  std::printf("load: server CPU user %.2f s, system %.2f s\n", user_s, sys_s);
  std::fflush(stdout);

  EXPECT_EQ(server.stop(), 0) << server.last_output();
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
