// The server's durable state in one SQLite database: users, paired machines
// (key, owner, revocation, last contact), pending pairing codes and the log of
// events the machines sent. Everything here survives a restart.
//
// Threads: every method may be called from any thread. One connection serves
// the whole process and a mutex serialises its use, so each method is one
// atomic step. Failures of SQLite itself are logged once here, as
// "store: <operation>: <cause>", and reported as false / nullopt / 0.

#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace halvex::server {

struct User {
  int64_t id = 0;
  std::string name;
  std::string password_hash;  // crypto_pwhash_str text
};

struct Machine {
  std::string machine_id;
  std::string public_key;  // Base64, as the agent sent it when pairing
  int64_t user_id = 0;
  std::string username;
  std::string hostname, platform, version, build;
  bool revoked = false;
  int64_t paired_at = 0;   // Unix seconds
  int64_t last_seen = 0;   // Unix seconds; 0 when never authenticated since pairing
};

struct PendingPair {
  std::string code;
  std::string machine_id, public_key, hostname, platform, version, build;
  int64_t expires = 0;  // Unix seconds
  int failures = 0;     // wrong passwords entered for this code
};

struct StoredEvent {
  int64_t seq = 0;
  std::string machine_id;
  std::string name;
  std::string data;  // the payload as unformatted JSON
  int64_t at = 0;    // Unix seconds
};

class Store {
 public:
  // Opens (creating when missing) the database at `path`, switches it to WAL
  // and creates the tables. On failure returns null and sets *error.
  static std::unique_ptr<Store> open(const std::string& path, std::string* error);
  ~Store();

  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // Users. add_user fails (with *error "user NAME: already exists") for a
  // name that is taken.
  bool add_user(const std::string& name, const std::string& password_hash, std::string* error);
  std::optional<User> find_user(const std::string& name);
  std::optional<User> user_by_id(int64_t id);

  // Pending pairings. put_pending replaces the row of the same code. pending()
  // returns the row only while it has not expired at `now`.
  bool put_pending(const PendingPair& p);
  std::optional<PendingPair> pending(const std::string& code, int64_t now);
  // Counts one wrong password; returns the new count (0 when the code is gone).
  int add_pending_failure(const std::string& code);
  void delete_pending(const std::string& code);
  // Removes every expired row; returns how many went.
  int purge_expired(int64_t now);

  // Binds the machine of `p` with its key to `user_id` (a new row, or a
  // re-pairing that replaces key and owner and lifts a revocation) and
  // deletes the pending code, in one transaction.
  bool bind_machine(const PendingPair& p, int64_t user_id, int64_t now);
  std::optional<Machine> machine(const std::string& machine_id);
  std::vector<Machine> machines();  // ordered by machine id
  bool revoke(const std::string& machine_id);  // false when unknown
  void touch(const std::string& machine_id, int64_t now);

  // Appends an event; returns its sequence number (0 on failure). Numbers
  // grow strictly and are never reused.
  int64_t add_event(const std::string& machine_id, const std::string& name, const std::string& data,
                    int64_t now);
  // Events of one machine with seq > after, oldest first, at most `limit`.
  std::vector<StoredEvent> events_after(const std::string& machine_id, int64_t after, int limit);
  // The newest `limit` events of all machines, newest first.
  std::vector<StoredEvent> recent_events(int limit);

 private:
  struct Impl;
  explicit Store(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace halvex::server
