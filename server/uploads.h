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
// Threads: every method may be called from any thread at once. The work on
// one image is serialised by a lock of its own; scan results are whole files
// renamed into place, so uploads of one scan need no lock.

#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "server/app.h"
#include "server/hub.h"
#include "server/image_files.h"
#include "server/store.h"

struct cJSON;

namespace halvex::server {

// How the network layer takes in the body of a request to `path`: at most
// `limit` bytes, spooled to a file (HttpRequest::body_file) when `spool`.
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
  Uploads(Store& store, std::string data_dir, Clock clock = unix_now);

  // The upload endpoints, authorised by the "token" query parameter.
  static bool is_upload_path(std::string_view path);
  HttpResponse handle_upload(const HttpRequest& req, std::string_view path, std::string_view query);
  // The checks an upload passes on its request head alone: a known token of
  // the path's kind, and the path's method. The error to answer with (the
  // body unread), or nullopt when the body may be read.
  std::optional<HttpResponse> check_head(std::string_view method, std::string_view path, std::string_view query,
                                         UploadToken* token = nullptr);

  // The admin API under /api/images and /api/scans; nullopt for any other
  // path. The caller has checked the admin token.
  std::optional<HttpResponse> handle_admin(const HttpRequest& req, std::string_view path, std::string_view query);

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
  // Assembles the image once all its parts are there; updates its record.
  void finish_image_if_complete(int64_t id);
  std::shared_ptr<std::mutex> lock_for(const std::string& key);

  Store& store_;
  const std::string data_dir_;   // absolute
  const std::string images_dir_;
  Clock clock_;
  std::mutex locks_mu_;
  std::map<std::string, std::shared_ptr<std::mutex>> locks_;  // "image:N"
};

}  // namespace halvex::server
