#include "server/hub/hub.h"

#include <sodium.h>

#include <chrono>
#include <cstring>

#include "core/codec.h"
#include "core/json.h"
#include "core/log.h"
#include "core/util.h"
#include "server/http/web.h"

namespace halvex::server {
namespace {

// What agents report on their own initiative or in answer to a command.
// Anything else from an agent is dropped and not stored.
constexpr std::string_view kAgentReports[] = {
    "directory_list",
    "directory_tree",
    "disk_list",
    "download_complete",
    "download_error",
    "download_progress",
    "downloading",
    "drive_list",
    "dji_device_info",
    "dji_log",
    "dji_operation_result",
    "dji_ready",
    "dji_rx",
    "error",
    "imaging_progress",
    "job_complete",
    "job_error",
    "path_validated",
    "remote_scan_error",
    "restarting",
    "stream_chunk_complete",
    "stream_chunk_progress",
    "thumbnail_progress",
    "thumbnails_complete",
    "update_status",
    "video_index",
};

constexpr size_t kChallengeBytes = 32;

std::string fail_envelope(const char* error) {
  Json d = json_object();
  json_add_string(d.get(), "error", error);
  return make_envelope("auth_fail", d.get());
}

// A string member cut to `max` bytes without splitting a character, or
// `fallback` when absent or not text.
std::string member(const cJSON* d, const char* name, size_t max, const char* fallback = "") {
  const cJSON* item = json_get(d, name);
  if (!json_is_string(item)) return fallback;
  return text_cut(json_string_value(item), max + 1);
}

std::optional<Bytes> decode_key(const std::string& b64) {
  std::optional<Bytes> key = base64_decode(b64);
  if (!key || key->size() != crypto_sign_PUBLICKEYBYTES) return std::nullopt;
  return key;
}

}  // namespace

int64_t unix_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string make_envelope(const std::string& name, const cJSON* data) {
  Json env = json_object();
  json_add_string(env.get(), "e", name);
  json_add_item(env.get(), "d", data ? json_duplicate(data) : json_object());
  return json_print(env.get());
}

bool check_password(const std::string& hash, const std::string& password) {
  if (hash.empty() || hash.size() >= crypto_pwhash_STRBYTES) return false;
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

std::string hash_password(const std::string& password) {
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
    return "";
  return out;
}

bool is_agent_report(std::string_view name) {
  for (std::string_view n : kAgentReports)
    if (n == name) return true;
  return false;
}

Hub::Hub(Store& store, Clock clock) : store_(store), clock_(std::move(clock)) {
  if (sodium_init() < 0) log_msg(LOG_ERROR, "server: crypto library failed to start");
}

Hub::ConnId Hub::open(std::shared_ptr<ConnectionSink> sink, std::string peer) {
  std::lock_guard<std::mutex> lock(mu_);
  ConnId id = next_id_++;
  Conn& c = conns_[id];
  c.sink = std::move(sink);
  c.peer = std::move(peer);
  return id;
}

void Hub::on_close(ConnId id) {
  std::vector<std::function<void()>> wakes;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = conns_.find(id);
    if (it == conns_.end()) return;
    const std::string& machine = it->second.machine;
    if (!machine.empty()) {
      auto m = by_machine_.find(machine);
      if (m != by_machine_.end() && m->second == id) {
        by_machine_.erase(m);
        store_.touch(machine, clock_());
        log_msg(LOG_INFO, "ws: machine %s offline", machine.c_str());
        store_offline(machine, "link closed", &wakes);
      }
    }
    // A code is answered on the connection that asked for it; with that
    // connection gone it cannot be, so it goes too (and a client cannot
    // pile up codes by opening and closing connections).
    auto pc = pair_conns_.find(it->second.pair_code);
    if (pc != pair_conns_.end() && pc->second == id) {
      std::string code = it->second.pair_code;
      release_code(code);
      store_.delete_pending(code);
    }
    conns_.erase(it);
  }
  for (auto& wake : wakes) wake();
}

void Hub::hold_code(ConnId id, Conn& c, const std::string& code) {
  c.pair_code = code;
  pair_conns_[code] = id;
  codes_per_peer_[c.peer]++;
}

void Hub::release_code(const std::string& code) {
  auto pc = pair_conns_.find(code);
  if (pc == pair_conns_.end()) return;
  auto it = conns_.find(pc->second);
  if (it != conns_.end()) {
    auto n = codes_per_peer_.find(it->second.peer);
    if (n != codes_per_peer_.end() && --n->second <= 0) codes_per_peer_.erase(n);
    it->second.pair_code.clear();
  }
  pair_conns_.erase(pc);
}

void Hub::store_offline(const std::string& machine, const char* why,
                        std::vector<std::function<void()>>* wakes) {
  Json d = json_object();
  json_add_string(d.get(), "reason", why);
  store_event(machine, kMachineOfflineEvent, json_print(d.get()), wakes);
  wake_list(wakes);
}

void Hub::wake_list(std::vector<std::function<void()>>* wakes) {
  take_waiters(kMachineListWaiter, wakes);
}

void Hub::take_waiters(const std::string& key, std::vector<std::function<void()>>* wakes) {
  for (auto it = waiters_.begin(); it != waiters_.end();) {
    if (it->second.first == key) {
      wakes->push_back(std::move(it->second.second));
      it = waiters_.erase(it);
    } else {
      ++it;
    }
  }
}

void Hub::on_message(ConnId id, std::string_view text) {
  if (text.size() > kMaxAgentMessage) return;
  Json msg = json_parse(text);
  if (!msg) {
    log_msg(LOG_WARN, "ws: connection %llu: invalid JSON dropped",
            static_cast<unsigned long long>(id));
    return;
  }
  const cJSON* e = json_get(msg.get(), "e");
  if (!json_is_object(msg.get()) || !json_is_string(e)) return;
  std::string name = json_string_value(e);
  const cJSON* d = json_get(msg.get(), "d");

  std::vector<std::function<void()>> wakes;
  std::string reporter;  // the machine, when a report was stored
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = conns_.find(id);
    if (it == conns_.end()) return;
    Conn& c = it->second;
    if (name == "service_pair_request") {
      handle_pair_request(id, d);
    } else if (name == "service_auth_key") {
      handle_auth_key(c, d);
    } else if (name == "auth_response") {
      handle_auth_response(id, c, d, &wakes);
    } else if (c.machine.empty()) {
      // Nothing else is heard before the machine has proved who it is.
    } else if (name == "heartbeat") {
      store_.touch(c.machine, clock_());
    } else if (is_agent_report(name)) {
      handle_agent_event(c, name, d, &wakes);
      reporter = c.machine;
    }
  }
  if (!reporter.empty() && report_hook_) report_hook_(reporter, name, d);
  for (auto& wake : wakes) wake();
}

void Hub::handle_pair_request(ConnId id, const cJSON* d) {
  PendingPair p;
  p.code = member(d, "code", 16);
  p.public_key = member(d, "public_key", 64);
  p.machine_id = member(d, "machine_id", 65);
  if (!valid_pair_code(p.code) || !decode_key(p.public_key) || !valid_machine_id(p.machine_id)) {
    log_msg(LOG_WARN, "pair: malformed request dropped");
    return;
  }
  p.hostname = member(d, "hostname", 255, "Unknown");
  p.platform = member(d, "platform", 32);
  p.version = member(d, "version", 32);
  p.build = member(d, "build", 32);
  int64_t now = clock_();
  p.expires = now + kPairCodeLifetime;
  store_.purge_expired(now);
  std::optional<PendingPair> old = store_.pending(p.code, now);
  if (old && (old->machine_id != p.machine_id || old->public_key != p.public_key)) {
    // Never let a second machine take over a code somebody is about to enter.
    log_msg(LOG_WARN, "pair: code %s already waits for machine %s", p.code.c_str(),
            old->machine_id.c_str());
    return;
  }
  if (old) p.failures = old->failures;
  Conn& c = conns_.at(id);
  auto mine = pair_conns_.find(c.pair_code);
  bool holds_one = !c.pair_code.empty() && mine != pair_conns_.end() && mine->second == id;
  // Many connections from one address could otherwise fill the table with
  // codes: a connection that holds none yet needs a free place.
  auto held = codes_per_peer_.find(c.peer);
  if (!holds_one && held != codes_per_peer_.end() && held->second >= pair_code_cap_) {
    if (!c.told_pair_cap)
      log_msg(LOG_WARN, "pair: %s holds %d waiting codes already; code %s refused", c.peer.c_str(),
              held->second, p.code.c_str());
    c.told_pair_cap = true;
    return;
  }
  if (!store_.put_pending(p)) return;
  // One code per connection: an earlier one of this connection is dropped,
  // so a single connection cannot fill the table with codes.
  if (holds_one) {
    std::string earlier = c.pair_code;
    release_code(earlier);
    if (earlier != p.code) store_.delete_pending(earlier);
  }
  // The same machine asking again on a new link, its old one not yet seen
  // gone: the old link gives the code up, or its address keeps counting it.
  release_code(p.code);
  hold_code(id, c, p.code);
  log_msg(LOG_INFO, "pair: machine %s waits with code %s", p.machine_id.c_str(), p.code.c_str());
}

void Hub::handle_auth_key(Conn& c, const cJSON* d) {
  std::string machine_id = member(d, "machine_id", 65);
  c.challenge.clear();
  std::optional<Machine> m =
      valid_machine_id(machine_id) ? store_.machine(machine_id) : std::nullopt;
  if (!m) {
    c.sink->send_text(fail_envelope("Unknown machine"));
    return;
  }
  if (m->revoked) {
    c.sink->send_text(fail_envelope("Key revoked"));
    return;
  }
  uint8_t raw[kChallengeBytes];
  randombytes_buf(raw, sizeof raw);
  c.challenge = base64_encode(raw, sizeof raw);
  c.challenge_machine = machine_id;
  c.challenge_version = member(d, "version", 32);
  Json out = json_object();
  json_add_string(out.get(), "challenge", c.challenge);
  c.sink->send_text(make_envelope("auth_challenge", out.get()));
}

void Hub::handle_auth_response(ConnId id, Conn& c, const cJSON* d,
                               std::vector<std::function<void()>>* wakes) {
  // A challenge answers one response only.
  std::string challenge = std::move(c.challenge);
  c.challenge.clear();
  std::optional<Machine> m;
  if (!challenge.empty()) m = store_.machine(c.challenge_machine);
  if (m && m->revoked) {
    c.sink->send_text(fail_envelope("Key revoked"));
    return;
  }
  std::optional<Bytes> sig = base64_decode(member(d, "signature", 128));
  std::optional<Bytes> sent_key = decode_key(member(d, "public_key", 64));
  std::optional<Bytes> stored_key = m ? decode_key(m->public_key) : std::nullopt;
  bool ok = m && sig && sig->size() == crypto_sign_BYTES && sent_key && stored_key &&
            *sent_key == *stored_key &&
            crypto_sign_verify_detached(sig->data(),
                                        reinterpret_cast<const unsigned char*>(challenge.data()),
                                        challenge.size(), stored_key->data()) == 0;
  if (!ok) {
    log_msg(LOG_WARN, "auth: machine %s: invalid signature", m ? m->machine_id.c_str() : "?");
    c.sink->send_text(fail_envelope("Invalid signature"));
    return;
  }
  bind_conn(id, c, m->machine_id, wakes);
  store_.touch(m->machine_id, clock_());
  // An agent that updated itself comes back with its new version.
  if (!c.challenge_version.empty() && c.challenge_version != m->version)
    store_.set_version(m->machine_id, c.challenge_version);
  Json out = json_object();
  json_add_number(out.get(), "user_id", static_cast<double>(m->user_id));
  json_add_string(out.get(), "username", m->username);
  c.sink->send_text(make_envelope("auth_ok", out.get()));
  log_msg(LOG_INFO, "auth: machine %s authenticated as %s", m->machine_id.c_str(),
          m->username.c_str());
}

void Hub::handle_agent_event(Conn& c, const std::string& name, const cJSON* d,
                             std::vector<std::function<void()>>* wakes) {
  Json empty = json_object();
  std::string data = json_print(d ? d : empty.get());
  int64_t now = clock_();
  store_.touch(c.machine, now);
  store_event(c.machine, name, data, wakes);
}

void Hub::store_event(const std::string& machine, const std::string& name, const std::string& data,
                      std::vector<std::function<void()>>* wakes) {
  if (store_.add_event(machine, name, data, clock_()) == 0) return;
  take_waiters(machine, wakes);
}

void Hub::bind_conn(ConnId id, Conn& c, const std::string& machine,
                    std::vector<std::function<void()>>* wakes) {
  auto old = by_machine_.find(machine);
  if (old != by_machine_.end() && old->second != id) {
    // One connection per agent: the newer one wins. Whatever ran over the
    // old link lost it, as when the link closes.
    auto other = conns_.find(old->second);
    if (other != conns_.end()) {
      other->second.machine.clear();
      other->second.sink->close();
    }
    store_offline(machine, "replaced by a new connection", wakes);
  }
  if (!c.machine.empty() && c.machine != machine) {
    // The link now serves another machine: the first one's link ended.
    by_machine_.erase(c.machine);
    store_offline(c.machine, "link moved to another machine", wakes);
  }
  c.machine = machine;
  by_machine_[machine] = id;
  wake_list(wakes);
}

bool Hub::rekey_needed(const PendingPair& p, const std::optional<Machine>& m) const {
  if (!m) return false;  // a new machine id
  if (m->revoked) return true;
  // Proof of the stored key: the pairing connection answered a challenge
  // with it, and asks to keep that same key.
  auto pc = pair_conns_.find(p.code);
  if (pc == pair_conns_.end()) return true;
  auto it = conns_.find(pc->second);
  if (it == conns_.end() || it->second.machine != p.machine_id) return true;
  std::optional<Bytes> stored = decode_key(m->public_key), asked = decode_key(p.public_key);
  return !stored || !asked || *stored != *asked;
}

bool Hub::needs_rekey(const std::string& code) {
  std::lock_guard<std::mutex> lock(mu_);
  std::optional<PendingPair> p =
      valid_pair_code(code) ? store_.pending(code, clock_()) : std::nullopt;
  return p && rekey_needed(*p, store_.machine(p->machine_id));
}

Hub::ConnState Hub::state(ConnId id) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = conns_.find(id);
  if (it == conns_.end()) return {};
  return {!it->second.machine.empty(), !it->second.pair_code.empty()};
}

ApproveResult Hub::approve(const std::string& code, const std::string& username, bool rekey) {
  ApproveResult r;
  std::vector<std::function<void()>> wakes;
  {
    std::lock_guard<std::mutex> lock(mu_);
    int64_t now = clock_();
    std::optional<PendingPair> p = valid_pair_code(code) ? store_.pending(code, now) : std::nullopt;
    if (!p) return r;
    std::optional<User> user = store_.find_user(username);
    if (!user) {
      r.status = ApproveStatus::kUnknownUser;
      return r;
    }
    if (!rekey && rekey_needed(*p, store_.machine(p->machine_id))) {
      log_msg(LOG_WARN,
              "pair: machine %s is paired already; code %s needs the operator's re-key approval",
              p->machine_id.c_str(), code.c_str());
      r.status = ApproveStatus::kNeedsRekey;
      r.machine_id = p->machine_id;
      return r;
    }
    if (!store_.bind_machine(*p, user->id, now)) {
      r.status = ApproveStatus::kStoreFailed;
      return r;
    }
    r.status = ApproveStatus::kApproved;
    r.machine_id = p->machine_id;
    r.user_id = user->id;
    r.username = user->name;
    log_msg(LOG_INFO, "pair: machine %s linked to %s", p->machine_id.c_str(), user->name.c_str());

    Json d = json_object();
    json_add_string(d.get(), "username", user->name);
    json_add_number(d.get(), "user_id", static_cast<double>(user->id));
    std::string payload = json_print(d.get());
    store_event(p->machine_id, "pair_success", payload, &wakes);

    auto pc = pair_conns_.find(code);
    if (pc != pair_conns_.end()) {
      ConnId id = pc->second;
      release_code(code);
      auto it = conns_.find(id);
      if (it != conns_.end()) {
        // The user vouched for this connection's key: it counts as
        // authenticated from here on, as the agent does not ask again.
        bind_conn(id, it->second, p->machine_id, &wakes);
        it->second.sink->send_text(make_envelope("pair_success", d.get()));
        r.notified = true;
      }
    }
    // A connection still bound to the old key must not carry on.
    if (!r.notified) drop_machine_conn(p->machine_id, "key replaced by a new pairing", &wakes);
  }
  for (auto& wake : wakes) wake();
  return r;
}

void Hub::drop_machine_conn(const std::string& machine, const char* why,
                            std::vector<std::function<void()>>* wakes) {
  auto bound = by_machine_.find(machine);
  if (bound == by_machine_.end()) return;
  auto it = conns_.find(bound->second);
  if (it != conns_.end()) {
    // Unbound first, so its close is not taken for an ordinary one; the end
    // of the link is recorded here instead, for whoever follows the machine.
    it->second.machine.clear();
    it->second.sink->close();
  }
  by_machine_.erase(bound);
  store_offline(machine, why, wakes);
}

SendStatus Hub::send(const std::string& machine_id, const std::string& event, const cJSON* data) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = by_machine_.find(machine_id);
  if (it == by_machine_.end()) {
    return store_.machine(machine_id) ? SendStatus::kOffline : SendStatus::kUnknownMachine;
  }
  conns_.at(it->second).sink->send_text(make_envelope(event, data));
  return SendStatus::kSent;
}

bool Hub::revoke(const std::string& machine_id) {
  std::vector<std::function<void()>> wakes;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!store_.revoke(machine_id)) return false;
    log_msg(LOG_INFO, "server: machine %s revoked", machine_id.c_str());
    drop_machine_conn(machine_id, "revoked", &wakes);
    wake_list(&wakes);
  }
  for (auto& wake : wakes) wake();
  return true;
}

std::set<std::string> Hub::online() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::set<std::string> out;
  for (const auto& [machine, id] : by_machine_) out.insert(machine);
  return out;
}

bool Hub::is_online(const std::string& machine_id) const {
  std::lock_guard<std::mutex> lock(mu_);
  return by_machine_.count(machine_id) > 0;
}

uint64_t Hub::add_waiter(const std::string& machine_id, std::function<void()> wake) {
  std::lock_guard<std::mutex> lock(mu_);
  uint64_t ticket = next_ticket_++;
  waiters_[ticket] = {machine_id, std::move(wake)};
  return ticket;
}

void Hub::cancel_waiter(uint64_t ticket) {
  std::lock_guard<std::mutex> lock(mu_);
  waiters_.erase(ticket);
}

void Hub::close_all() {
  std::vector<std::function<void()>> wakes;
  {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& [id, c] : conns_) c.sink->close();
    for (auto& [ticket, w] : waiters_) wakes.push_back(std::move(w.second));
    waiters_.clear();
  }
  for (auto& wake : wakes) wake();
}

}  // namespace halvex::server
