// What agents upload over HTTPS, authorised by upload tokens: the chunks of
// disk and file images, which are assembled into parts and whole images
// with their SHA-256, and the results of remote scans (hits, regions,
// thumbnails, directory trees). And the admin side of it: issuing a token
// with its image or scan record, and reporting on both.
//
// An image record (machine, source, part size, token) owns its parts. An
// unfinished part holds the chunks of one batch (one run of an imaging
// job): a run with another batch id is told it holds none, and its first
// chunk drops the old run's, since two runs may read different bytes. A
// finished part counts as held for every batch, so a resumed job (a new
// batch, the same token) skips the parts an earlier job completed.
// Records, tokens, part layouts and batches are in the Store;
// chunks, parts, images and scan results in files under the data folder;
// so uploads carry on across a restart of the server.
//
// A chunk's request writes its bytes; the one that completes a part hands
// it to the ingest workers, which decode it into the image, sync that,
// record the part done and feed the image's SHA-256 in part order, and
// waits for the decoding before it replies (the part's own file is never
// synced, so most of its bytes never reach the disk); the image is complete
// once the last part is hashed. Replies and the admin API report what the
// workers have done so far. What they had not finished when
// the server stopped (or was killed) is taken up when it starts again.
//
// Threads: every method may be called from any thread at once. The chunks
// of one image are serialised by a lock of its own; scan results are whole
// files renamed into place, so uploads of one scan need no lock.

#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <future>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "server/admin/app.h"
#include "server/hub/hub.h"
#include "server/uploads/image_files.h"
#include "server/store/store.h"
#include "server/uploads/image_hash.h"
#include "server/uploads/ingest_pool.h"

struct cJSON;

namespace halvex::server {

// How the network layer takes in the body of a request to `path`: at most
// `limit` bytes. When `spool`, a body that does not fit the server's memory
// budget for bodies is spooled to a file (HttpRequest::body_file).
struct BodyPolicy {
  uint64_t limit = 0;
  bool spool = false;
};
BodyPolicy upload_body_policy(std::string_view path);

// The body limit of every request that is not an upload.
constexpr uint64_t kDefaultBodyLimit = 1 << 20;
// Largest thumbnail the agents send (a JPEG), and largest scan upload: its
// regions may overlap, so they can add up to more than the chunk read.
constexpr uint64_t kMaxThumbnail = 5 * 1024 * 1024;
constexpr uint64_t kScanBodyLimit = 512 * 1024 * 1024;

class Uploads {
 public:
  // Keeps its files under `data_dir` ("images/", "scans/").
  // Takes up the parts and hashes a server before it left unfinished.
  Uploads(Store& store, std::string data_dir, Clock clock = unix_now);
  // Stops the workers: the running task finishes, queued ones are left for
  // the next start.
  ~Uploads();

  // Waits until the workers have nothing left to do (tests, benchmarks).
  void wait_idle() { pool_->wait_idle(); }

  // The upload endpoints, authorised by the "token" query parameter.
  static bool is_upload_path(std::string_view path);
  HttpResponse handle_upload(const HttpRequest& req, std::string_view path, std::string_view query);
  // The checks an upload passes on its request head alone: a known token of
  // the path's kind, and the path's method. The error to answer with (the
  // body unread), or nullopt when the body may be read.
  std::optional<HttpResponse> check_head(std::string_view method, std::string_view path,
                                         std::string_view query, UploadToken* token = nullptr);

  // The admin API under /api/images and /api/scans; nullopt for any other
  // path. The caller has checked the admin token.
  std::optional<HttpResponse> handle_admin(const HttpRequest& req, std::string_view path,
                                           std::string_view query);

  // An agent's stored report (see Hub::set_report_hook): a scan's
  // "directory_tree" is kept with the scan's results.
  void on_report(const std::string& machine_id, const std::string& name, const cJSON* d);

  // The folder a scan's results are stored in, and the data folder.
  std::string scan_folder(int64_t id) const;
  const std::string& data_dir() const { return data_dir_; }

 private:
  HttpResponse upload_chunk(const HttpRequest& req, int64_t image_id);
  HttpResponse chunk_status(std::string_view query, int64_t image_id);
  HttpResponse scanned_chunk(const HttpRequest& req, int64_t scan_id);
  HttpResponse video_thumbnail(const HttpRequest& req, int64_t scan_id);
  HttpResponse add_image(const HttpRequest& req);
  HttpResponse list_images(std::string_view query);
  HttpResponse show_image(int64_t id);
  HttpResponse add_scan(const HttpRequest& req);
  HttpResponse show_scan(int64_t id);
  // The worker side: a sealed part decoded and recorded; its hash fed in
  // part order; the image finished after its last part.
  // A part that could not be hashed (its bytes unreadable, the progress
  // not saved) stops the image's hashing until another part is done, the
  // agent asks for a part's chunks (as a resumed job does) or the server
  // starts again.
  struct Hashing {
    std::mutex mu;
    bool loaded = false, busy = false;
    std::string failed;  // why the last part taken could not be hashed
    HashOrder order;
    ImageDigest digest;  // touched by the busy thread only
  };
  // Hands a whole part to the workers; false when they refuse it
  // (stopping) or have it already. `done` (when not null) is told once the
  // part is recorded done or refused, before it is hashed, or once the
  // task was dropped.
  bool start_assembly(int64_t id, int64_t part, std::shared_ptr<std::promise<void>> done = nullptr);
  // The part's length once it is durable in the image and recorded done.
  std::optional<uint64_t> assemble(int64_t id, int64_t part);
  std::shared_ptr<Hashing> hashing(int64_t id);
  // The image's hashing state when there is one; null, and none made, else.
  std::shared_ptr<Hashing> hashing_if_any(int64_t id);
  void part_done(int64_t id, int64_t part, uint64_t length);
  void hash_ready(int64_t id, const std::shared_ptr<Hashing>& h);
  bool hash_part(int64_t id, int64_t part, uint64_t length, ImageDigest& digest,
                 std::string* error);
  void retry_hashing(int64_t id);
  void forget_hash_error(int64_t id, const std::string& failed);
  bool hashing_failed(int64_t id);
  void finish_image(int64_t id, const std::string& sha256);
  void fail_part(int64_t id, ImagePart& row, const std::string& error);
  void resume();
  bool assembling(int64_t id, int64_t part);
  void count_body(int64_t id);
  void flush_bodies(int64_t id);
  int64_t unflushed_bodies(int64_t id);
  std::shared_ptr<std::mutex> lock_for(const std::string& key);

  Store& store_;
  const std::string data_dir_;  // absolute
  const std::string images_dir_;
  Clock clock_;
  std::mutex locks_mu_;
  std::map<std::string, std::shared_ptr<std::mutex>> locks_;  // "image:N"
  // Guarded by locks_mu_: parts handed to the workers, not yet recorded;
  // chunk bodies not yet counted in the Store; hash progress per image.
  std::set<std::pair<int64_t, int64_t>> assembling_;
  std::map<int64_t, int64_t> bodies_;
  std::map<int64_t, std::shared_ptr<Hashing>> hashing_;
  std::unique_ptr<IngestPool> pool_;  // last: stopped before the rest goes
};

}  // namespace halvex::server
