// The server's durable state in one SQLite database: users, paired machines
// (key, owner, revocation, last contact), pending pairing codes, the log of
// events the machines sent, and the images and scans machines upload with
// their upload tokens, and the files jobs may download. Everything here
// survives a restart.
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

// Longest user name `user add` takes.
constexpr size_t kMaxUserName = 63;

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
  int64_t paired_at = 0;  // Unix seconds
  int64_t last_seen = 0;  // Unix seconds; 0 when never authenticated since pairing
};

struct PendingPair {
  std::string code;
  std::string machine_id, public_key, hostname, platform, version, build;
  int64_t expires = 0;  // Unix seconds
  int failures = 0;     // wrong passwords entered for this code
};

// A disk or file image being uploaded in parts by one machine's imaging
// jobs (a first job and any resumed ones share it and its token).
struct ImageRecord {
  int64_t id = 0;
  std::string machine_id;
  std::string source;       // "disk:N" or "file:PATH", as the operator asked
  uint64_t part_size = 0;   // bytes of every part but the last
  std::string token;        // the upload token of its jobs
  std::string status;       // "receiving", "complete" or "failed"
  int64_t total_parts = 0;  // from the chunks; 0 before the first
  int64_t bodies = 0;       // chunk request bodies received
  std::string path;         // the image file, once complete
  uint64_t bytes = 0;
  std::string sha256;   // lower-case hex, once complete
  std::string error;    // why it failed, or why a part was last rejected
  int64_t created = 0;  // Unix seconds
};

// One part of an image: the batch (imaging run) whose chunks it holds, the
// chunk layout that batch announced and, once assembled, its decoded length.
// Which chunks are held is kept beside the part's data (image_files.h), not
// here, so a chunk costs no database write. A part rejected when assembled
// remembers the batch that sent it, so that batch's retries are refused too.
struct ImagePart {
  int64_t image_id = 0;
  int64_t part_number = 0;
  std::string batch_id;  // the run whose chunks are held
  int64_t total_chunks = 0;
  std::string compressed;      // "" (raw) or "hximg"
  uint64_t original_size = 0;  // decoded length announced with hximg
  bool done = false;
  uint64_t bytes = 0;  // decoded length, once done
  std::string failed_batch;
  std::string error;
};

// A remote scan: where its uploads go and the id its events carry.
struct ScanRecord {
  int64_t id = 0;
  std::string machine_id;
  std::string scan_id;  // "scan-" and the id
  std::string source;   // "disk:N" or "path:P"
  std::string token;
  int64_t created = 0;
};

// What an upload token opens: kind "image" or "scan", and the record's id.
struct UploadToken {
  std::string kind;
  int64_t target = 0;
  std::string machine_id;
};

struct StoredEvent {
  int64_t seq = 0;
  std::string machine_id;
  std::string name;
  std::string data;   // the payload as unformatted JSON (only a prefix from recent_events)
  int64_t at = 0;     // Unix seconds
  uint64_t size = 0;  // the whole payload's length in bytes
};

// Which events recent_events lists: those before the sequence number
// `before` (0: any), of the type `name` (empty: any).
struct EventFilter {
  int64_t before = 0;
  std::string name;
};

// Payloads of at least this many bytes are a machine's large reports: the
// first to go when the machine is over its storage quota.
constexpr uint64_t kLargeEventBytes = 64 * 1024;

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
  std::vector<Machine> machines();             // ordered by machine id
  bool revoke(const std::string& machine_id);  // false when unknown
  void touch(const std::string& machine_id, int64_t now);
  // Records the version an authenticated machine reports.
  void set_version(const std::string& machine_id, const std::string& version);

  // Caps the payload bytes kept per machine; 0 (the default) keeps all.
  // Call before the first add_event.
  void set_event_quota(uint64_t bytes);
  // Appends an event; returns its sequence number (0 on failure). Numbers
  // grow strictly and are never reused. When the machine's payloads would
  // pass the quota, its oldest large reports are deleted first (one log line
  // each, naming machine and sizes), then, if that is not enough, its oldest
  // events of any size; the new event itself is always kept.
  int64_t add_event(const std::string& machine_id, const std::string& name, const std::string& data,
                    int64_t now);
  // Events of one machine with seq > after, oldest first: at most `limit`,
  // and no more than `max_bytes` of payload in all, except that the first
  // event comes whole however large it is (a reader must be able to fetch
  // any one event). *more tells whether events after these are left.
  std::vector<StoredEvent> events_after(const std::string& machine_id, int64_t after, int limit,
                                        uint64_t max_bytes = UINT64_MAX, bool* more = nullptr);
  // The newest `limit` events of all machines that pass `filter`, newest
  // first, with only the first `prefix` bytes of each payload read (so the
  // cost does not grow with what machines stored).
  std::vector<StoredEvent> recent_events(int limit, size_t prefix = 256,
                                         const EventFilter& filter = {});
  // The names of the stored events, sorted, each once.
  std::vector<std::string> event_names();
  // Payload bytes the machine's stored events hold.
  uint64_t event_bytes(const std::string& machine_id);
  // The sequence number of the machine's newest event; 0 when it has none.
  int64_t last_event_seq(const std::string& machine_id);

  // Images. add_image fills in id, status and created; its token must be
  // unused. images() lists a machine's images, newest first, only those of
  // `source` unless it is empty.
  std::optional<ImageRecord> add_image(const ImageRecord& image, int64_t now);
  std::optional<ImageRecord> image(int64_t id);
  std::vector<ImageRecord> images(const std::string& machine_id, const std::string& source);
  // Adds `count` chunk bodies to the image's tally (kept once per part).
  bool count_image_bodies(int64_t id, int64_t count);
  // The images still receiving parts, by id: what a restarted server takes up.
  std::vector<int64_t> receiving_images();
  bool set_image_total_parts(int64_t id, int64_t total_parts);
  bool set_image_error(int64_t id, const std::string& error);
  // Records the outcome of assembling the image: status, file, size, hash.
  bool finish_image(const ImageRecord& image);

  std::optional<ImagePart> image_part(int64_t image_id, int64_t part_number);
  std::vector<ImagePart> image_parts(int64_t image_id);  // by part number
  bool put_image_part(const ImagePart& part);            // insert or replace

  // Scans. add_scan fills in id, scan_id and created.
  std::optional<ScanRecord> add_scan(const ScanRecord& scan, int64_t now);
  std::optional<ScanRecord> scan(int64_t id);
  std::optional<ScanRecord> scan_by_scan_id(const std::string& machine_id,
                                            const std::string& scan_id);

  // The image or scan an upload token belongs to.
  std::optional<UploadToken> upload_token(const std::string& token);

  // Downloads of the files folder a job may make: `names` (file names in
  // the folder) under the hash of the job's token, until `expires`. Adding
  // a grant deletes those expired at `now`. file_granted: whether the hash
  // opens `name` at `now`.
  bool add_file_grant(const std::string& token_hash, const std::string& machine_id,
                      const std::vector<std::string>& names, int64_t now, int64_t expires);
  bool file_granted(const std::string& token_hash, const std::string& name, int64_t now);

 private:
  struct Impl;
  explicit Store(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace halvex::server
