#include "link/ws_client.h"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/thread.h"
#include "core/version.h"
#include "link/ws_client_testing.h"
#include "platform/clock.h"
#include "platform/ws_transport.h"

namespace halvex {

namespace {

constexpr uint32_t kHeartbeatIntervalMs = 20000;
constexpr char kHeartbeatText[] = "{\"e\":\"heartbeat\",\"d\":{}}";

WsTransportFactory g_make_transport = nullptr;  // null: ws_transport_create

std::unique_ptr<WsTransport> make_transport() {
  return g_make_transport != nullptr ? g_make_transport() : ws_transport_create();
}

// One connection, owned by the run that opened it. Others (senders, ws_close,
// the heartbeat) hold a shared_ptr, so the record outlives every user.
struct Connection {
  std::unique_ptr<WsTransport> transport = make_transport();
  uint64_t run = 0;  // set once, under g_ws_mu, before the record is shared
  std::atomic<bool> connected{false};
  std::atomic<bool> stop{false};
  // The heartbeat sleeps on this; wake() ends the sleep at once.
  std::mutex hb_mu;
  std::condition_variable hb_cv;

  void wake() {
    std::lock_guard<std::mutex> lock(hb_mu);
    hb_cv.notify_all();
  }
};
using ConnectionPtr = std::shared_ptr<Connection>;

// The client lock. It guards g_current and serialises every write and close
// on a transport, so messages never interleave and never meet a closing link.
std::mutex g_ws_mu;
ConnectionPtr g_current;
// The newest run number handed out by ws_new_run. A run whose number is
// older never installs its connection: a thread that started late must not
// replace the connection of a run that was asked for after it.
uint64_t g_latest_run = 0;
// Runs that have not returned yet; ws_shutdown waits for them (bounded).
int g_active_runs = 0;
std::condition_variable g_runs_done;
constexpr auto kShutdownWait = std::chrono::seconds(3);

// Counts a run from its start to its return, on every path.
struct ActiveRun {
  ActiveRun() {
    std::lock_guard<std::mutex> lock(g_ws_mu);
    g_active_runs++;
  }
  ~ActiveRun() {
    std::lock_guard<std::mutex> lock(g_ws_mu);
    if (--g_active_runs == 0) g_runs_done.notify_all();
  }
};

WsMessageCallback g_on_message = nullptr;
WsStateCallback g_on_state = nullptr;
// Set on a run's own thread while it reports its end.
thread_local bool t_run_replaced = false;

// REQUIRES: g_ws_mu held.
void close_locked(const ConnectionPtr& c) {
  c->stop = true;
  c->transport->close();
  c->connected = false;
  c->wake();
}

// REQUIRES: g_ws_mu held.
bool send_locked(const ConnectionPtr& c, const char* text, size_t len) {
  if (!c || !c->connected) return false;
  unsigned long code = 0;
  if (!c->transport->write_text(text, len, &code)) {
    log_msg(LOG_WARN, "ws: send failed (%lu)", code);
    return false;
  }
  return true;
}

void heartbeat(ConnectionPtr c) {
  std::unique_lock<std::mutex> lock(c->hb_mu);
  while (c->connected && !c->stop) {
    auto interval = std::chrono::milliseconds(clock_scaled_ms(kHeartbeatIntervalMs));
    if (c->hb_cv.wait_for(lock, interval, [&] { return !c->connected || c->stop; })) break;
    lock.unlock();
    {
      std::lock_guard<std::mutex> ws_lock(g_ws_mu);
      send_locked(c, kHeartbeatText, sizeof kHeartbeatText - 1);
    }
    lock.lock();
  }
}

void log_connect_failure(const WsConnectResult& r) {
  const char* line = "ws: WebSocket upgrade failed (%lu)";
  switch (r.step) {
    case WsConnectStep::kOpen:
      line = "ws: WinHttpOpen failed (%lu)";
      break;
    case WsConnectStep::kResolve:
      line = "ws: WinHttpConnect failed (%lu)";
      break;
    case WsConnectStep::kSend:
      line = "ws: WinHttpSendRequest failed (%lu)";
      break;
    case WsConnectStep::kReceive:
      line = "ws: WinHttpReceiveResponse failed (%lu)";
      break;
    case WsConnectStep::kUpgrade:
    case WsConnectStep::kOk:
      break;
  }
  log_msg(LOG_ERROR, line, r.code);
  if (!r.cause.empty()) log_msg(LOG_INFO, "ws: cause: %s", r.cause.c_str());
}

// Receives until the connection ends. Messages over kWsMaxMessage bytes are
// dropped whole: the rest of such a message is read and discarded.
void receive_loop(const ConnectionPtr& c) {
  std::vector<char> buf(kWsMaxMessage + 1);
  size_t n = 0;
  bool dropping = false;
  while (!c->stop) {
    WsReadResult r = c->transport->read(buf.data() + n, kWsMaxMessage - n);
    if (r.kind == WsReadKind::kError) {
      if (!c->stop) log_msg(LOG_WARN, "ws: receive error (%lu)", r.code);
      return;
    }
    if (r.kind == WsReadKind::kClose) {
      if (!c->stop) log_msg(LOG_INFO, "ws: server sent close");
      return;
    }
    n += r.bytes;
    bool last = r.kind == WsReadKind::kMessage;
    if (dropping) {
      n = 0;
      dropping = !last;
    } else if (last) {
      buf[n] = '\0';
      if (g_on_message != nullptr) g_on_message(buf.data(), n);
      n = 0;
    } else if (n >= kWsMaxMessage) {
      log_msg(LOG_WARN, "ws: message too large, dropping");
      n = 0;
      dropping = true;
    }
  }
}

// Forgets `c` as the current connection, if it still is. Returns false when
// a newer run had replaced it.
bool release_current(const ConnectionPtr& c) {
  if (g_current != c) return false;
  g_current.reset();
  return true;
}

}  // namespace

std::optional<WsUrl> ws_parse_url(std::string_view url) {
  WsUrl out;
  std::string_view rest;
  if (url.substr(0, 6) == "wss://") {
    out.secure = true;
    out.port = 443;
    rest = url.substr(6);
  } else if (url.substr(0, 5) == "ws://") {
    out.secure = false;
    out.port = 80;
    rest = url.substr(5);
  } else {
    return std::nullopt;
  }
  size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  out.path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));

  // The host ends at the first ':' (or at ']' for an IPv6 literal).
  size_t colon = authority.find(':');
  if (!authority.empty() && authority.front() == '[') {
    size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    colon = authority.find(':', close);
  }
  out.host = std::string(authority.substr(0, colon));
  if (colon != std::string_view::npos) {
    // Decimal digits up to the first other character, as atoi reads them.
    uint32_t port = 0;
    for (char ch : authority.substr(colon + 1)) {
      if (ch < '0' || ch > '9') break;
      port = port * 10 + static_cast<uint32_t>(ch - '0');
      if (port > 65535) return std::nullopt;
    }
    if (port == 0) return std::nullopt;
    out.port = static_cast<uint16_t>(port);
  }
  if (out.host.empty() || out.host.size() > 255) return std::nullopt;
  return out;
}

void ws_init(WsMessageCallback on_message, WsStateCallback on_state) {
  g_on_message = on_message;
  g_on_state = on_state;
}

uint64_t ws_new_run() {
  std::lock_guard<std::mutex> lock(g_ws_mu);
  // One connection at a time. The closed one stops being current at once,
  // so its run's end reads as replaced, not as the end of the link.
  if (g_current) close_locked(g_current);
  g_current.reset();
  return ++g_latest_run;
}

void ws_run(const std::string& url) { ws_run(url, ws_new_run()); }

void ws_run(const std::string& url, uint64_t run) {
  ActiveRun active;
  auto c = std::make_shared<Connection>();
  {
    std::lock_guard<std::mutex> lock(g_ws_mu);
    if (run != g_latest_run) {
      log_msg(LOG_INFO, "ws: run %llu superseded before it connected",
              static_cast<unsigned long long>(run));
      return;
    }
    if (g_current) close_locked(g_current);
    c->run = run;
    g_current = c;
  }

  std::optional<WsUrl> parsed = ws_parse_url(url);
  if (!parsed) {
    log_msg(LOG_ERROR, "ws: invalid URL: %s", url.c_str());
    std::lock_guard<std::mutex> lock(g_ws_mu);
    release_current(c);
    return;
  }
  log_msg(LOG_INFO, "ws: connecting to %s", url.c_str());

  WsEndpoint ep{parsed->secure, parsed->host, parsed->port, parsed->path, kUserAgent};
  WsConnectResult r = c->transport->connect(ep);
  if (r.step != WsConnectStep::kOk) {
    // A failure caused by ws_close() is no failure worth an ERROR line.
    if (!c->stop) log_connect_failure(r);
    std::lock_guard<std::mutex> lock(g_ws_mu);
    close_locked(c);
    release_current(c);
    return;
  }

  {
    // Under the lock, so a ws_close that came while connecting is seen here
    // and a close that comes later finds the flag already set: a closed link
    // is never reported as up.
    std::lock_guard<std::mutex> lock(g_ws_mu);
    if (c->stop) {
      close_locked(c);
      release_current(c);
      return;
    }
    c->connected = true;
  }
  log_msg(LOG_INFO, "ws: connected");
  if (g_on_state != nullptr) g_on_state(true);
  // Without a heartbeat thread the connection still works; it only sends
  // no pings (the start failure is logged).
  std::thread beat;
  thread_start_joinable(&beat, "ws heartbeat", [c] { heartbeat(c); });

  // A handler that runs out of memory ends this connection, not the
  // process: the clean-up below still runs and the watchdog reconnects.
  run_guarded("ws", [&c] { receive_loop(c); });

  c->connected = false;
  c->wake();
  if (beat.joinable()) beat.join();  // wakes at once: it waits on c->hb_cv
  bool was_current;
  {
    std::lock_guard<std::mutex> lock(g_ws_mu);
    close_locked(c);
    was_current = release_current(c);
  }
  log_msg(LOG_INFO, "ws: disconnected");
  t_run_replaced = !was_current;
  if (g_on_state != nullptr) g_on_state(false);
  t_run_replaced = false;
}

bool ws_send_text(const char* text, size_t len) {
  std::lock_guard<std::mutex> lock(g_ws_mu);
  return send_locked(g_current, text, len);
}

void ws_close() {
  std::lock_guard<std::mutex> lock(g_ws_mu);
  if (g_current) close_locked(g_current);
}

bool ws_is_connected() {
  std::lock_guard<std::mutex> lock(g_ws_mu);
  return g_current && g_current->connected;
}

bool ws_run_is_connected(uint64_t run) {
  std::lock_guard<std::mutex> lock(g_ws_mu);
  return g_current && g_current->run == run && g_current->connected;
}

bool ws_run_was_replaced() { return t_run_replaced; }

void ws_shutdown() {
  ws_close();
  // Let the run report its own end (its log lines and state callback) before
  // the process goes on to shut down; a run stuck elsewhere is not awaited
  // for long.
  std::unique_lock<std::mutex> lock(g_ws_mu);
  g_runs_done.wait_for(lock, kShutdownWait, [] { return g_active_runs == 0; });
}

void ws_set_transport_factory_for_testing(WsTransportFactory make) { g_make_transport = make; }

}  // namespace halvex
