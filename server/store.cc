#include "server/store.h"

#include <sqlite3.h>

#include <mutex>

#include "core/log.h"

namespace halvex::server {
namespace {

struct DbClose {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using DbPtr = std::unique_ptr<sqlite3, DbClose>;

struct StmtFinalize {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalize>;

constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS users(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT NOT NULL UNIQUE,
  password_hash TEXT NOT NULL,
  created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS machines(
  machine_id TEXT PRIMARY KEY,
  public_key TEXT NOT NULL,
  user_id INTEGER NOT NULL REFERENCES users(id),
  hostname TEXT NOT NULL,
  platform TEXT NOT NULL,
  version TEXT NOT NULL,
  build TEXT NOT NULL,
  revoked INTEGER NOT NULL DEFAULT 0,
  paired_at INTEGER NOT NULL,
  last_seen INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS pending(
  code TEXT PRIMARY KEY,
  machine_id TEXT NOT NULL,
  public_key TEXT NOT NULL,
  hostname TEXT NOT NULL,
  platform TEXT NOT NULL,
  version TEXT NOT NULL,
  build TEXT NOT NULL,
  expires INTEGER NOT NULL,
  failures INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS events(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  machine_id TEXT NOT NULL,
  name TEXT NOT NULL,
  data TEXT NOT NULL,
  at INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS events_by_machine ON events(machine_id, seq);
)sql";

// One bound statement; reports the first failure of prepare, bind or step.
class Query {
 public:
  Query(sqlite3* db, const char* sql, const char* what) : db_(db), what_(what) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) fail();
    stmt_.reset(s);
  }
  Query& text(const std::string& v) {
    if (stmt_ && sqlite3_bind_text(stmt_.get(), ++index_, v.data(), static_cast<int>(v.size()),
                                   SQLITE_TRANSIENT) != SQLITE_OK)
      fail();
    return *this;
  }
  Query& integer(int64_t v) {
    if (stmt_ && sqlite3_bind_int64(stmt_.get(), ++index_, v) != SQLITE_OK) fail();
    return *this;
  }
  // Next row: true while one is there; false at the end or on failure.
  bool row() {
    if (!stmt_ || failed_) return false;
    int rc = sqlite3_step(stmt_.get());
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) fail();
    return false;
  }
  // Runs a statement without rows; true on success.
  bool run() {
    row();
    return !failed_;
  }
  std::string col_text(int i) const {
    const unsigned char* p = sqlite3_column_text(stmt_.get(), i);
    return p ? std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(stmt_.get(), i)))
             : std::string();
  }
  int64_t col_int(int i) const { return sqlite3_column_int64(stmt_.get(), i); }
  bool failed() const { return failed_; }
  int error_code() const { return sqlite3_extended_errcode(db_); }

 private:
  void fail() {
    if (!failed_) log_msg(LOG_ERROR, "store: %s: %s", what_, sqlite3_errmsg(db_));
    failed_ = true;
  }
  sqlite3* db_;
  const char* what_;
  StmtPtr stmt_;
  int index_ = 0;
  bool failed_ = false;
};

constexpr const char* kMachineColumns =
    "m.machine_id, m.public_key, m.user_id, COALESCE(u.name, ''), m.hostname, m.platform, m.version, "
    "m.build, m.revoked, m.paired_at, m.last_seen";

Machine read_machine(const Query& q) {
  Machine m;
  m.machine_id = q.col_text(0);
  m.public_key = q.col_text(1);
  m.user_id = q.col_int(2);
  m.username = q.col_text(3);
  m.hostname = q.col_text(4);
  m.platform = q.col_text(5);
  m.version = q.col_text(6);
  m.build = q.col_text(7);
  m.revoked = q.col_int(8) != 0;
  m.paired_at = q.col_int(9);
  m.last_seen = q.col_int(10);
  return m;
}

StoredEvent read_event(const Query& q) {
  return StoredEvent{q.col_int(0), q.col_text(1), q.col_text(2), q.col_text(3), q.col_int(4)};
}

}  // namespace

struct Store::Impl {
  std::mutex mu;  // serialises every use of db
  DbPtr db;

  bool exec(const char* sql, const char* what) {
    char* msg = nullptr;
    if (sqlite3_exec(db.get(), sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
    log_msg(LOG_ERROR, "store: %s: %s", what, msg ? msg : sqlite3_errmsg(db.get()));
    sqlite3_free(msg);
    return false;
  }
};

Store::Store(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Store::~Store() = default;

std::unique_ptr<Store> Store::open(const std::string& path, std::string* error) {
  sqlite3* raw = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                           nullptr);
  DbPtr db(raw);
  if (rc != SQLITE_OK) {
    *error = "open database " + path + ": " + (db ? sqlite3_errmsg(db.get()) : sqlite3_errstr(rc));
    return nullptr;
  }
  // Another process (user add) may write while the server runs: wait for its
  // lock instead of failing at once.
  sqlite3_busy_timeout(db.get(), 5000);
  auto impl = std::make_unique<Impl>();
  impl->db = std::move(db);
  char* msg = nullptr;
  for (const char* sql : {"PRAGMA journal_mode=WAL;", "PRAGMA foreign_keys=ON;", kSchema}) {
    if (sqlite3_exec(impl->db.get(), sql, nullptr, nullptr, &msg) != SQLITE_OK) {
      *error = "prepare database " + path + ": " + (msg ? msg : sqlite3_errmsg(impl->db.get()));
      sqlite3_free(msg);
      return nullptr;
    }
  }
  return std::unique_ptr<Store>(new Store(std::move(impl)));
}

bool Store::add_user(const std::string& name, const std::string& password_hash, std::string* error) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(), "INSERT INTO users(name, password_hash, created) VALUES(?, ?, strftime('%s','now'))",
          "add user");
  q.text(name).text(password_hash);
  if (q.run()) return true;
  *error = (q.error_code() == SQLITE_CONSTRAINT_UNIQUE) ? "user " + name + ": already exists"
                                                         : "user " + name + ": " + sqlite3_errmsg(impl_->db.get());
  return false;
}

std::optional<User> Store::find_user(const std::string& name) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(), "SELECT id, name, password_hash FROM users WHERE name = ?", "find user");
  q.text(name);
  if (!q.row()) return std::nullopt;
  return User{q.col_int(0), q.col_text(1), q.col_text(2)};
}

std::optional<User> Store::user_by_id(int64_t id) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(), "SELECT id, name, password_hash FROM users WHERE id = ?", "find user");
  q.integer(id);
  if (!q.row()) return std::nullopt;
  return User{q.col_int(0), q.col_text(1), q.col_text(2)};
}

bool Store::put_pending(const PendingPair& p) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(),
          "INSERT OR REPLACE INTO pending(code, machine_id, public_key, hostname, platform, version, build, "
          "expires, failures) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)",
          "store pairing code");
  q.text(p.code).text(p.machine_id).text(p.public_key).text(p.hostname).text(p.platform).text(p.version);
  q.text(p.build).integer(p.expires).integer(p.failures);
  return q.run();
}

std::optional<PendingPair> Store::pending(const std::string& code, int64_t now) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(),
          "SELECT code, machine_id, public_key, hostname, platform, version, build, expires, failures "
          "FROM pending WHERE code = ? AND expires > ?",
          "find pairing code");
  q.text(code).integer(now);
  if (!q.row()) return std::nullopt;
  PendingPair p;
  p.code = q.col_text(0);
  p.machine_id = q.col_text(1);
  p.public_key = q.col_text(2);
  p.hostname = q.col_text(3);
  p.platform = q.col_text(4);
  p.version = q.col_text(5);
  p.build = q.col_text(6);
  p.expires = q.col_int(7);
  p.failures = static_cast<int>(q.col_int(8));
  return p;
}

int Store::add_pending_failure(const std::string& code) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(), "UPDATE pending SET failures = failures + 1 WHERE code = ? RETURNING failures",
          "count failed login");
  q.text(code);
  return q.row() ? static_cast<int>(q.col_int(0)) : 0;
}

void Store::delete_pending(const std::string& code) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(), "DELETE FROM pending WHERE code = ?", "delete pairing code");
  q.text(code).run();
}

int Store::purge_expired(int64_t now) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(), "DELETE FROM pending WHERE expires <= ?", "purge pairing codes");
  q.integer(now).run();
  return sqlite3_changes(impl_->db.get());
}

bool Store::bind_machine(const PendingPair& p, int64_t user_id, int64_t now) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (!impl_->exec("BEGIN IMMEDIATE", "bind machine")) return false;
  Query up(impl_->db.get(),
           "INSERT INTO machines(machine_id, public_key, user_id, hostname, platform, version, build, revoked, "
           "paired_at, last_seen) VALUES(?, ?, ?, ?, ?, ?, ?, 0, ?, ?) "
           "ON CONFLICT(machine_id) DO UPDATE SET public_key = excluded.public_key, user_id = excluded.user_id, "
           "hostname = excluded.hostname, platform = excluded.platform, version = excluded.version, "
           "build = excluded.build, revoked = 0, paired_at = excluded.paired_at, last_seen = excluded.last_seen",
           "bind machine");
  up.text(p.machine_id).text(p.public_key).integer(user_id).text(p.hostname).text(p.platform);
  up.text(p.version).text(p.build).integer(now).integer(now);
  bool ok = up.run();
  if (ok) {
    Query del(impl_->db.get(), "DELETE FROM pending WHERE code = ?", "bind machine");
    ok = del.text(p.code).run();
  }
  impl_->exec(ok ? "COMMIT" : "ROLLBACK", "bind machine");
  return ok;
}

std::optional<Machine> Store::machine(const std::string& machine_id) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::string sql = std::string("SELECT ") + kMachineColumns +
                    " FROM machines m LEFT JOIN users u ON u.id = m.user_id WHERE m.machine_id = ?";
  Query q(impl_->db.get(), sql.c_str(), "find machine");
  q.text(machine_id);
  if (!q.row()) return std::nullopt;
  return read_machine(q);
}

std::vector<Machine> Store::machines() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::string sql = std::string("SELECT ") + kMachineColumns +
                    " FROM machines m LEFT JOIN users u ON u.id = m.user_id ORDER BY m.machine_id";
  Query q(impl_->db.get(), sql.c_str(), "list machines");
  std::vector<Machine> out;
  while (q.row()) out.push_back(read_machine(q));
  return out;
}

bool Store::revoke(const std::string& machine_id) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(), "UPDATE machines SET revoked = 1 WHERE machine_id = ?", "revoke machine");
  return q.text(machine_id).run() && sqlite3_changes(impl_->db.get()) > 0;
}

void Store::touch(const std::string& machine_id, int64_t now) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(), "UPDATE machines SET last_seen = ? WHERE machine_id = ?", "record contact");
  q.integer(now).text(machine_id).run();
}

int64_t Store::add_event(const std::string& machine_id, const std::string& name, const std::string& data,
                         int64_t now) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(), "INSERT INTO events(machine_id, name, data, at) VALUES(?, ?, ?, ?)", "store event");
  q.text(machine_id).text(name).text(data).integer(now);
  return q.run() ? sqlite3_last_insert_rowid(impl_->db.get()) : 0;
}

std::vector<StoredEvent> Store::events_after(const std::string& machine_id, int64_t after, int limit) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(),
          "SELECT seq, machine_id, name, data, at FROM events WHERE machine_id = ? AND seq > ? ORDER BY seq LIMIT ?",
          "read events");
  q.text(machine_id).integer(after).integer(limit);
  std::vector<StoredEvent> out;
  while (q.row()) out.push_back(read_event(q));
  return out;
}

std::vector<StoredEvent> Store::recent_events(int limit) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(), "SELECT seq, machine_id, name, data, at FROM events ORDER BY seq DESC LIMIT ?",
          "read events");
  q.integer(limit);
  std::vector<StoredEvent> out;
  while (q.row()) out.push_back(read_event(q));
  return out;
}

}  // namespace halvex::server
