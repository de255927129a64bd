// 1 KiB events over the TLS WebSocket link on loopback, both directions:
// the agent's client (ws_send_text / the message callback) against the
// test server. Reports messages per second.
//
//   build/bench/ws_link_bench

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "link/ws_client.h"
#include "platform/tls.h"
#include "tests/support/test_pki.h"
#include "tests/support/ws_test_server.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;

std::atomic<int64_t> g_received{0};
std::mutex g_mu;
std::condition_variable g_cv;
std::atomic<bool> g_up{false};

std::atomic<int64_t> g_server_received{0};

void on_message(const char*, size_t) {
  std::lock_guard<std::mutex> lock(g_mu);
  ++g_received;
  g_cv.notify_all();
}
void on_state(bool up) {
  g_up = up;
  g_cv.notify_all();
}

// One server and one client connection for the whole run.
struct Link {
  testing::TestPki pki;
  std::unique_ptr<testing::WsTestServer> server;
  std::thread run;

  Link() {
    std::string error;
    pki = *testing::make_test_pki({"localhost"}, &error);
    tls_set_ca_file(pki.ca_cert_path);
    server = std::make_unique<testing::WsTestServer>(pki.cert_path, pki.key_path);
    server->on_message = [](testing::WsTestServer&, int, const std::string&) {
      std::lock_guard<std::mutex> lock(g_mu);
      ++g_server_received;
      g_cv.notify_all();
    };
    server->start(&error);
    ws_init(on_message, on_state);
    run = std::thread(
        [u = "wss://localhost:" + std::to_string(server->port()) + "/ws"] { ws_run(u); });
    server->wait_for_connections(1, 10s);
    std::unique_lock<std::mutex> lock(g_mu);
    g_cv.wait_for(lock, 10s, [] { return g_up.load(); });
  }
  ~Link() {
    ws_close();
    run.join();
    server->stop();
    testing::remove_test_pki(pki);
  }
};

Link& link() {
  static Link l;
  return l;
}

const std::string kEvent = [] {
  std::string e = "{\"e\":\"imaging_progress\",\"d\":{\"pad\":\"";
  e += std::string(1024 - e.size() - 4, 'x');
  return e + "\"}}";
}();

void BM_AgentToServer(benchmark::State& state) {
  link();
  const int batch = 1000;
  for (auto _ : state) {
    int64_t target = g_server_received + batch;
    for (int i = 0; i < batch; i++) ws_send_text(kEvent.data(), kEvent.size());
    // Wait until the server has them all: the figure is delivery, not queueing.
    std::unique_lock<std::mutex> lock(g_mu);
    if (!g_cv.wait_for(lock, 30s, [&] { return g_server_received >= target; }))
      state.SkipWithError("messages lost");
  }
  state.SetItemsProcessed(state.iterations() * batch);
  state.SetBytesProcessed(state.iterations() * batch * static_cast<int64_t>(kEvent.size()));
}
BENCHMARK(BM_AgentToServer)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

void BM_ServerToAgent(benchmark::State& state) {
  Link& l = link();
  const int batch = 1000;
  for (auto _ : state) {
    int64_t target = g_received + batch;
    for (int i = 0; i < batch; i++) l.server->send_text(kEvent);
    std::unique_lock<std::mutex> lock(g_mu);
    if (!g_cv.wait_for(lock, 30s, [&] { return g_received >= target; }))
      state.SkipWithError("messages lost");
  }
  state.SetItemsProcessed(state.iterations() * batch);
  state.SetBytesProcessed(state.iterations() * batch * static_cast<int64_t>(kEvent.size()));
}
BENCHMARK(BM_ServerToAgent)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

}  // namespace
}  // namespace halvex

BENCHMARK_MAIN();
