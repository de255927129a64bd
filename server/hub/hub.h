// The agents' side of the server: one Hub holds every open WebSocket
// connection, runs the pairing and authentication exchanges on each, stores
// what authenticated agents report, and lets the admin side send events to,
// approve, and revoke machines.
//
// The Hub knows no sockets. Each connection is a ConnectionSink that the
// network layer (or a test) supplies; the Hub calls it to send text and to
// close. Messages arrive whole, as text, through on_message.
//
// Threads: every method may be called from any thread. One mutex guards the
// connection table; the Store has its own, always taken after it. Sinks are
// called with the Hub's mutex held, so they must only queue work (never call
// back into the Hub); waiter callbacks are called without it.

#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "server/store/store.h"

struct cJSON;

namespace halvex::server {

// Largest message the server accepts from an agent; larger ones are dropped
// whole by the network layer and never reach on_message. Agents' reports
// can be large: a scan's "directory_tree" of a full card lists every file.
constexpr size_t kMaxAgentMessage = 64 * 1024 * 1024;
// How long a pairing code waits for its user.
constexpr int64_t kPairCodeLifetime = 10 * 60;
// Wrong passwords after which a pairing code is ended.
constexpr int kMaxPairFailures = 5;
// Pairing codes that may wait at once from one client address unless the
// Hub is told otherwise (each connection holds at most one). Many machines
// behind one NAT address may pair at the same time.
constexpr int kMaxPairCodesPerAddress = 256;
// Stored (as if the machine had sent it) when a machine's authenticated
// link ends, so that whoever follows its events learns of it in order.
constexpr const char* kMachineOfflineEvent = "machine_offline";
// The waiter key (no machine id is empty) of those who follow the machine
// list rather than one machine's events.
constexpr const char* kMachineListWaiter = "";

class ConnectionSink {
 public:
  virtual ~ConnectionSink() = default;
  // Queues one text message. Must not block or call into the Hub.
  virtual void send_text(std::string text) = 0;
  // Queues a close with status 1000. Later sends are dropped.
  virtual void close() = 0;
};

using Clock = std::function<int64_t()>;  // Unix seconds
int64_t unix_now();

// kNeedsRekey: the code's machine id is already paired (or revoked) and the
// pairing connection has not proved the stored key; only an operator's
// re-key approval may replace it.
enum class ApproveStatus { kApproved, kUnknownCode, kUnknownUser, kStoreFailed, kNeedsRekey };
struct ApproveResult {
  ApproveStatus status = ApproveStatus::kUnknownCode;
  std::string machine_id;
  int64_t user_id = 0;
  std::string username;
  bool notified = false;  // "pair_success" went out on the pairing connection
};

enum class SendStatus { kSent, kUnknownMachine, kOffline };

class Hub {
 public:
  using ConnId = uint64_t;

  explicit Hub(Store& store, Clock clock = unix_now);

  // Caps the codes waiting from one client address. Set before any
  // connection opens.
  void set_pair_code_cap(int codes) { pair_code_cap_ = codes; }

  // A new connection from client address `peer`; its sink lives until
  // on_close.
  ConnId open(std::shared_ptr<ConnectionSink> sink, std::string peer = "");
  // One whole text message from connection `id`.
  void on_message(ConnId id, std::string_view text);
  // The connection is gone; nothing more is sent to it.
  void on_close(ConnId id);

  // Binds the machine waiting with `code` to `username` and tells it so.
  // Nothing checks a password here: callers hold the admin token, or the
  // pairing page checked the password (see check_password).
  //
  // A machine id that is already paired keeps its key and owner unless the
  // pairing connection authenticated with the stored key (the machine itself
  // asks to move to another account), or `rekey` is set (the operator
  // replaces a lost key, which also lifts a revocation). Otherwise the
  // result is kNeedsRekey and nothing changes.
  ApproveResult approve(const std::string& code, const std::string& username, bool rekey = false);

  // Whether approving `code` needs the operator's re-key: its machine id is
  // paired already and the pairing connection has not proved the stored key.
  bool needs_rekey(const std::string& code);

  // What the network layer needs to know of a connection to bound it:
  // authenticated (a machine proved its key, or its pairing was approved),
  // and waiting for a user to approve its pairing code.
  struct ConnState {
    bool authenticated = false;
    bool pairing = false;
  };
  ConnState state(ConnId id) const;

  // Sends {"e": event, "d": data} (data {} when null) to the machine's
  // authenticated connection.
  SendStatus send(const std::string& machine_id, const std::string& event, const cJSON* data);

  // Marks the machine revoked and closes its live connection. False when it
  // is unknown.
  bool revoke(const std::string& machine_id);

  // Machine ids with an authenticated connection now.
  std::set<std::string> online() const;
  bool is_online(const std::string& machine_id) const;

  // Calls `wake` once (on the thread that stores it) when the next event of
  // `machine_id` is stored; for kMachineListWaiter, when the next machine
  // comes online, goes offline or is revoked. Returns a ticket for
  // cancel_waiter.
  uint64_t add_waiter(const std::string& machine_id, std::function<void()> wake);
  void cancel_waiter(uint64_t ticket);

  // Closes every connection (server shutdown).
  void close_all();

  // Calls `hook` with every agent report stored from now on (machine, event
  // name, payload), on the connection's thread, without the Hub's lock and
  // before the next message of that connection is read. Set it before any
  // connection opens; it must not call back into the Hub.
  using ReportHook = std::function<void(const std::string&, const std::string&, const cJSON*)>;
  void set_report_hook(ReportHook hook) { report_hook_ = std::move(hook); }

  Store& store() { return store_; }
  int64_t now() const { return clock_(); }

 private:
  struct Conn {
    std::shared_ptr<ConnectionSink> sink;
    std::string machine;            // authenticated machine; empty before
    std::string challenge;          // outstanding challenge text
    std::string challenge_machine;  // the machine it was issued for
    std::string challenge_version;  // the version the agent reported with it
    std::string pair_code;          // the one pairing code it waits with
    std::string peer;               // the client's address
    bool told_pair_cap = false;     // the per-address refusal was logged
  };

  void handle_pair_request(ConnId id, const cJSON* d);
  // See needs_rekey; `mu_` held.
  bool rekey_needed(const PendingPair& p, const std::optional<Machine>& m) const;
  void handle_auth_key(Conn& c, const cJSON* d);
  void handle_auth_response(ConnId id, Conn& c, const cJSON* d,
                            std::vector<std::function<void()>>* wakes);
  void handle_agent_event(Conn& c, const std::string& name, const cJSON* d,
                          std::vector<std::function<void()>>* wakes);
  // Makes `id` the one authenticated connection of `machine`; closes any
  // other (and records that its link ended).
  void bind_conn(ConnId id, Conn& c, const std::string& machine,
                 std::vector<std::function<void()>>* wakes);
  void store_event(const std::string& machine, const std::string& name, const std::string& data,
                   std::vector<std::function<void()>>* wakes);
  // Closes the authenticated connection of `machine`, if it has one, and
  // forgets that it was bound (its key is no longer good); records that its
  // link ended, and `why`. `mu_` held.
  void drop_machine_conn(const std::string& machine, const char* why,
                         std::vector<std::function<void()>>* wakes);
  // Hands the machine list's waiters to `wakes`; `mu_` held.
  void wake_list(std::vector<std::function<void()>>* wakes);
  // Hands the waiters registered under `key` (a machine id, or the list's)
  // to `wakes`, each once. `mu_` held.
  void take_waiters(const std::string& key, std::vector<std::function<void()>>* wakes);
  // Records that the authenticated link of `machine` ended, and why.
  void store_offline(const std::string& machine, const char* why,
                     std::vector<std::function<void()>>* wakes);
  // Makes `code` the waiting code of connection `id`, or forgets it; keeps
  // the per-address count. `mu_` held.
  void hold_code(ConnId id, Conn& c, const std::string& code);
  void release_code(const std::string& code);

  Store& store_;
  Clock clock_;
  mutable std::mutex mu_;
  ConnId next_id_ = 1;
  std::map<ConnId, Conn> conns_;
  std::map<std::string, ConnId> by_machine_;   // authenticated connections
  std::map<std::string, ConnId> pair_conns_;   // pairing code -> connection that asked
  std::map<std::string, int> codes_per_peer_;  // entries of pair_conns_ per client address
  int pair_code_cap_ = kMaxPairCodesPerAddress;
  uint64_t next_ticket_ = 1;
  std::map<uint64_t, std::pair<std::string, std::function<void()>>> waiters_;
  ReportHook report_hook_;
};

// Envelope text {"e": name, "d": data} ({} for null data).
std::string make_envelope(const std::string& name, const cJSON* data);

// True when `password` matches the stored crypto_pwhash_str text. Slow by
// design (tens of milliseconds and 64 MiB).
bool check_password(const std::string& hash, const std::string& password);
// crypto_pwhash_str of `password`; empty on failure (out of memory).
std::string hash_password(const std::string& password);

// Whether an agent sends `name` as a report of its own; only these are
// stored.
bool is_agent_report(std::string_view name);

}  // namespace halvex::server
