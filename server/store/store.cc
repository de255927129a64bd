#include "server/store/store.h"

#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string_view>

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
CREATE INDEX IF NOT EXISTS pending_by_expiry ON pending(expires);
CREATE TABLE IF NOT EXISTS events(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  machine_id TEXT NOT NULL,
  name TEXT NOT NULL,
  at INTEGER NOT NULL,
  size INTEGER NOT NULL,
  data TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS events_by_machine ON events(machine_id, seq);
CREATE INDEX IF NOT EXISTS events_large ON events(machine_id, seq) WHERE size >= 65536;
CREATE INDEX IF NOT EXISTS events_by_name ON events(name, seq);
CREATE TABLE IF NOT EXISTS images(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  machine_id TEXT NOT NULL,
  source TEXT NOT NULL,
  part_size INTEGER NOT NULL,
  token TEXT NOT NULL UNIQUE,
  status TEXT NOT NULL DEFAULT 'receiving',
  total_parts INTEGER NOT NULL DEFAULT 0,
  bodies INTEGER NOT NULL DEFAULT 0,
  path TEXT NOT NULL DEFAULT '',
  bytes INTEGER NOT NULL DEFAULT 0,
  sha256 TEXT NOT NULL DEFAULT '',
  error TEXT NOT NULL DEFAULT '',
  created INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS images_by_machine ON images(machine_id, id);
CREATE TABLE IF NOT EXISTS image_parts(
  image_id INTEGER NOT NULL REFERENCES images(id),
  part_number INTEGER NOT NULL,
  batch_id TEXT NOT NULL DEFAULT '',
  total_chunks INTEGER NOT NULL,
  compressed TEXT NOT NULL,
  original_size INTEGER NOT NULL,
  done INTEGER NOT NULL DEFAULT 0,
  bytes INTEGER NOT NULL DEFAULT 0,
  failed_batch TEXT NOT NULL DEFAULT '',
  error TEXT NOT NULL DEFAULT '',
  PRIMARY KEY(image_id, part_number));
CREATE TABLE IF NOT EXISTS scans(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  machine_id TEXT NOT NULL,
  scan_id TEXT NOT NULL DEFAULT '',
  source TEXT NOT NULL,
  token TEXT NOT NULL UNIQUE,
  created INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS file_grants(
  token_hash TEXT NOT NULL,
  name TEXT NOT NULL,
  machine_id TEXT NOT NULL,
  expires INTEGER NOT NULL,
  PRIMARY KEY(token_hash, name));
)sql";

// Databases made before events recorded their size kept the payload in the
// middle of the row. Rebuilt once with the size, and the payload last, so
// that reading an event's size or time never walks a large payload.
constexpr const char* kEventsUpgrade = R"sql(
CREATE TABLE events_sized(
  seq INTEGER PRIMARY KEY AUTOINCREMENT,
  machine_id TEXT NOT NULL,
  name TEXT NOT NULL,
  at INTEGER NOT NULL,
  size INTEGER NOT NULL,
  data TEXT NOT NULL);
INSERT INTO events_sized(seq, machine_id, name, at, size, data)
  SELECT seq, machine_id, name, at, length(CAST(data AS BLOB)), data FROM events;
DROP TABLE events;
ALTER TABLE events_sized RENAME TO events;
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
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<size_t>(sqlite3_column_bytes(stmt_.get(), i)))
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
    "m.machine_id, m.public_key, m.user_id, COALESCE(u.name, ''), m.hostname, m.platform, "
    "m.version, "
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

constexpr const char* kEventColumns = "seq, machine_id, name, at, size";

// The columns of kEventColumns; the payload is read separately, as whole or
// as a prefix.
StoredEvent read_event_head(const Query& q) {
  StoredEvent e;
  e.seq = q.col_int(0);
  e.machine_id = q.col_text(1);
  e.name = q.col_text(2);
  e.at = q.col_int(3);
  e.size = static_cast<uint64_t>(q.col_int(4));
  return e;
}

// Whether the events table predates the size column.
bool events_need_upgrade(sqlite3* db) {
  sqlite3_stmt* raw = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT name FROM pragma_table_info('events')", -1, &raw, nullptr) !=
      SQLITE_OK)
    return false;
  StmtPtr stmt(raw);
  bool any = false, sized = false;
  while (sqlite3_step(stmt.get()) == SQLITE_ROW) {
    any = true;
    const unsigned char* name = sqlite3_column_text(stmt.get(), 0);
    if (name && std::string_view(reinterpret_cast<const char*>(name)) == "size") sized = true;
  }
  return any && !sized;
}

constexpr const char* kImageColumns =
    "id, machine_id, source, part_size, token, status, total_parts, bodies, path, bytes, sha256, "
    "error, created";

ImageRecord read_image(const Query& q) {
  ImageRecord r;
  r.id = q.col_int(0);
  r.machine_id = q.col_text(1);
  r.source = q.col_text(2);
  r.part_size = static_cast<uint64_t>(q.col_int(3));
  r.token = q.col_text(4);
  r.status = q.col_text(5);
  r.total_parts = q.col_int(6);
  r.bodies = q.col_int(7);
  r.path = q.col_text(8);
  r.bytes = static_cast<uint64_t>(q.col_int(9));
  r.sha256 = q.col_text(10);
  r.error = q.col_text(11);
  r.created = q.col_int(12);
  return r;
}

constexpr const char* kPartColumns =
    "image_id, part_number, total_chunks, compressed, original_size, done, bytes, failed_batch, "
    "error, batch_id";

ImagePart read_part(const Query& q) {
  ImagePart p;
  p.image_id = q.col_int(0);
  p.part_number = q.col_int(1);
  p.total_chunks = q.col_int(2);
  p.compressed = q.col_text(3);
  p.original_size = static_cast<uint64_t>(q.col_int(4));
  p.done = q.col_int(5) != 0;
  p.bytes = static_cast<uint64_t>(q.col_int(6));
  p.failed_batch = q.col_text(7);
  p.error = q.col_text(8);
  p.batch_id = q.col_text(9);
  return p;
}

constexpr const char* kScanColumns = "id, machine_id, scan_id, source, token, created";

ScanRecord read_scan(const Query& q) {
  return ScanRecord{q.col_int(0),  q.col_text(1), q.col_text(2),
                    q.col_text(3), q.col_text(4), q.col_int(5)};
}

// Databases from before parts knew their batch get the column; their
// unfinished parts then match no batch and are sent again whole.
bool add_part_batch_column(sqlite3* db, std::string* error) {
  Query q(db, "SELECT 1 FROM pragma_table_info('image_parts') WHERE name = 'batch_id'",
          "migrate image parts");
  if (q.row()) return true;
  if (q.failed()) {
    *error = "image_parts: cannot read its columns";
    return false;
  }
  char* msg = nullptr;
  if (sqlite3_exec(db, "ALTER TABLE image_parts ADD COLUMN batch_id TEXT NOT NULL DEFAULT ''",
                   nullptr, nullptr, &msg) == SQLITE_OK)
    return true;
  *error = std::string("image_parts: ") + (msg ? msg : sqlite3_errmsg(db));
  sqlite3_free(msg);
  return false;
}

std::string select(const char* columns, const char* rest) {
  return std::string("SELECT ") + columns + " " + rest;
}

}  // namespace

struct Store::Impl {
  std::mutex mu;  // serialises every use of db
  DbPtr db;
  uint64_t quota = 0;                     // payload bytes kept per machine; 0: all
  std::map<std::string, uint64_t> usage;  // payload bytes per machine, once counted

  uint64_t& usage_of(const std::string& machine_id) {
    auto it = usage.find(machine_id);
    if (it != usage.end()) return it->second;
    Query q(db.get(), "SELECT COALESCE(SUM(size), 0) FROM events WHERE machine_id = ?",
            "count event bytes");
    q.text(machine_id);
    uint64_t bytes = q.row() ? static_cast<uint64_t>(q.col_int(0)) : 0;
    return usage[machine_id] = bytes;
  }

  // Deletes the machine's oldest events (only large ones when
  // `large_only`) until `incoming` more bytes fit under the quota.
  void drop_oldest(const std::string& machine_id, uint64_t incoming, bool large_only) {
    uint64_t& used = usage_of(machine_id);
    // The literal size lets SQLite use the partial index of large events.
    static_assert(kLargeEventBytes == 65536);
    Query q(db.get(),
            large_only ? "SELECT seq, name, size FROM events WHERE machine_id = ? AND size >= "
                         "65536 ORDER BY seq"
                       : "SELECT seq, name, size FROM events WHERE machine_id = ? ORDER BY seq",
            "make room for events");
    q.text(machine_id);
    struct Victim {
      int64_t seq;
      std::string name;
      uint64_t size;
    };
    std::vector<Victim> victims;
    uint64_t freed = 0;
    while (used - freed + incoming > quota && q.row()) {
      victims.push_back({q.col_int(0), q.col_text(1), static_cast<uint64_t>(q.col_int(2))});
      freed += victims.back().size;
    }
    if (victims.empty() || !exec("BEGIN IMMEDIATE", "make room for events")) return;
    for (const Victim& v : victims) {
      Query del(db.get(), "DELETE FROM events WHERE seq = ?", "make room for events");
      if (!del.integer(v.seq).run()) break;
      used -= v.size;
      if (large_only)
        log_msg(LOG_WARN,
                "events: machine %s over its quota of %llu bytes: dropped %s #%lld of %llu bytes",
                machine_id.c_str(), static_cast<unsigned long long>(quota), v.name.c_str(),
                static_cast<long long>(v.seq), static_cast<unsigned long long>(v.size));
    }
    if (!large_only)
      log_msg(LOG_WARN,
              "events: machine %s over its quota of %llu bytes: dropped its %zu oldest events "
              "(%llu bytes)",
              machine_id.c_str(), static_cast<unsigned long long>(quota), victims.size(),
              static_cast<unsigned long long>(freed));
    exec("COMMIT", "make room for events");
  }

  // The first `max` bytes of an event's payload, read without loading the
  // rest of it.
  std::string payload_prefix(int64_t seq, size_t max) {
    sqlite3_blob* raw = nullptr;
    if (sqlite3_blob_open(db.get(), "main", "events", "data", seq, 0, &raw) != SQLITE_OK) {
      sqlite3_blob_close(raw);
      return "";
    }
    size_t n = std::min(max, static_cast<size_t>(sqlite3_blob_bytes(raw)));
    std::string out(n, '\0');
    if (sqlite3_blob_read(raw, out.data(), static_cast<int>(n), 0) != SQLITE_OK) out.clear();
    sqlite3_blob_close(raw);
    return out;
  }

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
  int rc =
      sqlite3_open_v2(path.c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
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
  // WAL with synchronous=NORMAL: a commit is durable once the WAL is
  // synced at a checkpoint; a crash of the process loses nothing, a power
  // cut at most the last commits, never the database's consistency.
  std::vector<const char*> steps = {"PRAGMA journal_mode=WAL;", "PRAGMA synchronous=NORMAL;",
                                    "PRAGMA foreign_keys=ON;"};
  if (events_need_upgrade(impl->db.get())) {
    steps.insert(steps.end(), {"BEGIN IMMEDIATE;", kEventsUpgrade, "COMMIT;"});
    log_msg(LOG_INFO, "store: recording the size of stored events (once)");
  }
  steps.push_back(kSchema);
  for (const char* sql : steps) {
    if (sqlite3_exec(impl->db.get(), sql, nullptr, nullptr, &msg) != SQLITE_OK) {
      *error = "prepare database " + path + ": " + (msg ? msg : sqlite3_errmsg(impl->db.get()));
      sqlite3_free(msg);
      return nullptr;
    }
  }
  std::string migrate_error;
  if (!add_part_batch_column(impl->db.get(), &migrate_error)) {
    *error = "prepare database " + path + ": " + migrate_error;
    return nullptr;
  }
  return std::unique_ptr<Store>(new Store(std::move(impl)));
}

bool Store::add_user(const std::string& name, const std::string& password_hash,
                     std::string* error) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(),
          "INSERT INTO users(name, password_hash, created) VALUES(?, ?, strftime('%s','now'))",
          "add user");
  q.text(name).text(password_hash);
  if (q.run()) return true;
  *error = (q.error_code() == SQLITE_CONSTRAINT_UNIQUE)
               ? "user " + name + ": already exists"
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
          "INSERT OR REPLACE INTO pending(code, machine_id, public_key, hostname, platform, "
          "version, build, "
          "expires, failures) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?)",
          "store pairing code");
  q.text(p.code)
      .text(p.machine_id)
      .text(p.public_key)
      .text(p.hostname)
      .text(p.platform)
      .text(p.version);
  q.text(p.build).integer(p.expires).integer(p.failures);
  return q.run();
}

std::optional<PendingPair> Store::pending(const std::string& code, int64_t now) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(
      impl_->db.get(),
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
  Query q(impl_->db.get(),
          "UPDATE pending SET failures = failures + 1 WHERE code = ? RETURNING failures",
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
  Query up(
      impl_->db.get(),
      "INSERT INTO machines(machine_id, public_key, user_id, hostname, platform, version, build, "
      "revoked, "
      "paired_at, last_seen) VALUES(?, ?, ?, ?, ?, ?, ?, 0, ?, ?) "
      "ON CONFLICT(machine_id) DO UPDATE SET public_key = excluded.public_key, user_id = "
      "excluded.user_id, "
      "hostname = excluded.hostname, platform = excluded.platform, version = excluded.version, "
      "build = excluded.build, revoked = 0, paired_at = excluded.paired_at, last_seen = "
      "excluded.last_seen",
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
  Query q(impl_->db.get(), "UPDATE machines SET revoked = 1 WHERE machine_id = ?",
          "revoke machine");
  return q.text(machine_id).run() && sqlite3_changes(impl_->db.get()) > 0;
}

void Store::touch(const std::string& machine_id, int64_t now) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(), "UPDATE machines SET last_seen = ? WHERE machine_id = ?",
          "record contact");
  q.integer(now).text(machine_id).run();
}

void Store::set_version(const std::string& machine_id, const std::string& version) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(), "UPDATE machines SET version = ? WHERE machine_id = ?",
          "record version");
  q.text(version).text(machine_id).run();
}

void Store::set_event_quota(uint64_t bytes) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->quota = bytes;
}

int64_t Store::add_event(const std::string& machine_id, const std::string& name,
                         const std::string& data, int64_t now) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (impl_->quota > 0 && impl_->usage_of(machine_id) + data.size() > impl_->quota) {
    impl_->drop_oldest(machine_id, data.size(), true);
    if (impl_->usage_of(machine_id) + data.size() > impl_->quota)
      impl_->drop_oldest(machine_id, data.size(), false);
  }
  Query q(impl_->db.get(),
          "INSERT INTO events(machine_id, name, at, size, data) VALUES(?, ?, ?, ?, ?)",
          "store event");
  q.text(machine_id).text(name).integer(now).integer(static_cast<int64_t>(data.size())).text(data);
  if (!q.run()) return 0;
  auto used = impl_->usage.find(machine_id);
  if (used != impl_->usage.end()) used->second += data.size();
  return sqlite3_last_insert_rowid(impl_->db.get());
}

uint64_t Store::event_bytes(const std::string& machine_id) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->usage_of(machine_id);
}

std::vector<StoredEvent> Store::events_after(const std::string& machine_id, int64_t after,
                                             int limit, uint64_t max_bytes, bool* more) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  // One row past the limit tells whether more are left. The payload (the
  // last column) is only read for events that are taken.
  Query q(
      impl_->db.get(),
      "SELECT seq, machine_id, name, at, size, data FROM events WHERE machine_id = ? AND seq > ? "
      "ORDER BY seq LIMIT ?",
      "read events");
  q.text(machine_id).integer(after).integer(static_cast<int64_t>(limit) + 1);
  std::vector<StoredEvent> out;
  uint64_t bytes = 0;
  bool left = false;
  while (q.row()) {
    StoredEvent e = read_event_head(q);
    if (out.size() >= static_cast<size_t>(std::max(limit, 0)) ||
        (!out.empty() && e.size > max_bytes - bytes)) {
      left = true;
      break;
    }
    e.data = q.col_text(5);
    bytes += std::min(e.size, max_bytes - bytes);
    out.push_back(std::move(e));
  }
  if (more) *more = left;
  return out;
}

std::vector<StoredEvent> Store::recent_events(int limit, size_t prefix, const EventFilter& filter) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::vector<StoredEvent> out;
  {
    // With a name, events_by_name walks only that name's events.
    std::string sql = std::string("SELECT ") + kEventColumns + " FROM events WHERE seq < ?" +
                      (filter.name.empty() ? "" : " AND name = ?") + " ORDER BY seq DESC LIMIT ?";
    Query q(impl_->db.get(), sql.c_str(), "read events");
    q.integer(filter.before > 0 ? filter.before : INT64_MAX);
    if (!filter.name.empty()) q.text(filter.name);
    q.integer(limit);
    while (q.row()) out.push_back(read_event_head(q));
  }
  for (StoredEvent& e : out) e.data = impl_->payload_prefix(e.seq, prefix);
  return out;
}

std::vector<std::string> Store::event_names() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  // One index lookup per distinct name (the next name after the last one),
  // however many events each name has.
  Query q(impl_->db.get(),
          "WITH RECURSIVE n(x) AS (SELECT MIN(name) FROM events UNION ALL "
          "SELECT (SELECT MIN(name) FROM events WHERE name > x) FROM n WHERE x IS NOT NULL) "
          "SELECT x FROM n WHERE x IS NOT NULL",
          "read event names");
  std::vector<std::string> out;
  while (q.row()) out.push_back(q.col_text(0));
  return out;
}

int64_t Store::last_event_seq(const std::string& machine_id) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(), "SELECT COALESCE(MAX(seq), 0) FROM events WHERE machine_id = ?",
          "read events");
  q.text(machine_id);
  return q.row() ? q.col_int(0) : 0;
}

std::optional<ImageRecord> Store::add_image(const ImageRecord& image, int64_t now) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(),
          "INSERT INTO images(machine_id, source, part_size, token, created) VALUES(?, ?, ?, ?, ?)",
          "add image");
  q.text(image.machine_id)
      .text(image.source)
      .integer(static_cast<int64_t>(image.part_size))
      .text(image.token);
  if (!q.integer(now).run()) return std::nullopt;
  ImageRecord out = image;
  out.id = sqlite3_last_insert_rowid(impl_->db.get());
  out.status = "receiving";
  out.created = now;
  return out;
}

std::optional<ImageRecord> Store::image(int64_t id) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(), select(kImageColumns, "FROM images WHERE id = ?").c_str(), "find image");
  q.integer(id);
  if (!q.row()) return std::nullopt;
  return read_image(q);
}

std::vector<ImageRecord> Store::images(const std::string& machine_id, const std::string& source) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(),
          select(kImageColumns,
                 "FROM images WHERE machine_id = ? AND (? = '' OR source = ?) ORDER BY id DESC")
              .c_str(),
          "list images");
  q.text(machine_id).text(source).text(source);
  std::vector<ImageRecord> out;
  while (q.row()) out.push_back(read_image(q));
  return out;
}

bool Store::count_image_bodies(int64_t id, int64_t count) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(), "UPDATE images SET bodies = bodies + ? WHERE id = ?", "count upload");
  return q.integer(count).integer(id).run();
}

std::vector<int64_t> Store::receiving_images() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(), "SELECT id FROM images WHERE status = 'receiving' ORDER BY id",
          "list receiving images");
  std::vector<int64_t> out;
  while (q.row()) out.push_back(q.col_int(0));
  return out;
}

bool Store::set_image_total_parts(int64_t id, int64_t total_parts) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(), "UPDATE images SET total_parts = ? WHERE id = ?", "update image");
  return q.integer(total_parts).integer(id).run();
}

bool Store::set_image_error(int64_t id, const std::string& error) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(), "UPDATE images SET error = ? WHERE id = ?", "update image");
  return q.text(error).integer(id).run();
}

bool Store::finish_image(const ImageRecord& image) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(),
          "UPDATE images SET status = ?, path = ?, bytes = ?, sha256 = ?, error = ? WHERE id = ?",
          "finish image");
  q.text(image.status)
      .text(image.path)
      .integer(static_cast<int64_t>(image.bytes))
      .text(image.sha256);
  return q.text(image.error).integer(image.id).run();
}

std::optional<ImagePart> Store::image_part(int64_t image_id, int64_t part_number) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(),
          select(kPartColumns, "FROM image_parts WHERE image_id = ? AND part_number = ?").c_str(),
          "find image part");
  q.integer(image_id).integer(part_number);
  if (!q.row()) return std::nullopt;
  return read_part(q);
}

std::vector<ImagePart> Store::image_parts(int64_t image_id) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(),
          select(kPartColumns, "FROM image_parts WHERE image_id = ? ORDER BY part_number").c_str(),
          "list image parts");
  q.integer(image_id);
  std::vector<ImagePart> out;
  while (q.row()) out.push_back(read_part(q));
  return out;
}

bool Store::put_image_part(const ImagePart& p) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(),
          "INSERT OR REPLACE INTO image_parts(image_id, part_number, total_chunks, compressed, "
          "original_size, done, "
          "bytes, failed_batch, error, batch_id) VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
          "store image part");
  q.integer(p.image_id).integer(p.part_number).integer(p.total_chunks).text(p.compressed);
  q.integer(static_cast<int64_t>(p.original_size))
      .integer(p.done ? 1 : 0)
      .integer(static_cast<int64_t>(p.bytes));
  return q.text(p.failed_batch).text(p.error).text(p.batch_id).run();
}

std::optional<ScanRecord> Store::add_scan(const ScanRecord& scan, int64_t now) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (!impl_->exec("BEGIN IMMEDIATE", "add scan")) return std::nullopt;
  Query q(impl_->db.get(),
          "INSERT INTO scans(machine_id, source, token, created) VALUES(?, ?, ?, ?)", "add scan");
  bool ok = q.text(scan.machine_id).text(scan.source).text(scan.token).integer(now).run();
  ScanRecord out = scan;
  if (ok) {
    out.id = sqlite3_last_insert_rowid(impl_->db.get());
    out.scan_id = "scan-" + std::to_string(out.id);
    out.created = now;
    Query name(impl_->db.get(), "UPDATE scans SET scan_id = ? WHERE id = ?", "add scan");
    ok = name.text(out.scan_id).integer(out.id).run();
  }
  impl_->exec(ok ? "COMMIT" : "ROLLBACK", "add scan");
  if (!ok) return std::nullopt;
  return out;
}

std::optional<ScanRecord> Store::scan(int64_t id) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(), select(kScanColumns, "FROM scans WHERE id = ?").c_str(), "find scan");
  q.integer(id);
  if (!q.row()) return std::nullopt;
  return read_scan(q);
}

std::optional<ScanRecord> Store::scan_by_scan_id(const std::string& machine_id,
                                                 const std::string& scan_id) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(),
          select(kScanColumns, "FROM scans WHERE machine_id = ? AND scan_id = ?").c_str(),
          "find scan");
  q.text(machine_id).text(scan_id);
  if (!q.row()) return std::nullopt;
  return read_scan(q);
}

std::optional<UploadToken> Store::upload_token(const std::string& token) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(),
          "SELECT 'image', id, machine_id FROM images WHERE token = ?1 "
          "UNION ALL SELECT 'scan', id, machine_id FROM scans WHERE token = ?1",
          "find upload token");
  q.text(token);
  if (!q.row()) return std::nullopt;
  return UploadToken{q.col_text(0), q.col_int(1), q.col_text(2)};
}

bool Store::add_file_grant(const std::string& token_hash, const std::string& machine_id,
                           const std::vector<std::string>& names, int64_t now, int64_t expires) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (!impl_->exec("BEGIN IMMEDIATE", "add file grant")) return false;
  // Grants are short-lived; each new one clears those that ran out.
  Query purge(impl_->db.get(), "DELETE FROM file_grants WHERE expires <= ?", "add file grant");
  bool ok = purge.integer(now).run();
  for (size_t i = 0; ok && i < names.size(); i++) {
    Query q(impl_->db.get(),
            "INSERT OR IGNORE INTO file_grants(token_hash, name, machine_id, expires) VALUES(?, ?, "
            "?, ?)",
            "add file grant");
    ok = q.text(token_hash).text(names[i]).text(machine_id).integer(expires).run();
  }
  impl_->exec(ok ? "COMMIT" : "ROLLBACK", "add file grant");
  return ok;
}

bool Store::file_granted(const std::string& token_hash, const std::string& name, int64_t now) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  Query q(impl_->db.get(),
          "SELECT 1 FROM file_grants WHERE token_hash = ? AND name = ? AND expires > ?",
          "find file grant");
  q.text(token_hash).text(name).integer(now);
  return q.row();
}

}  // namespace halvex::server
