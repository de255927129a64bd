#include "server/uploads/uploads.h"

#include <sodium.h>

#include <filesystem>

#include "core/json.h"
#include "core/log.h"
#include "platform/rw_file.h"
#include "server/uploads/image_files.h"
#include "server/http/request_body.h"
#include "server/http/upload_form.h"
#include "server/http/web.h"

namespace halvex::server {
namespace {

constexpr uint64_t kMiB = 1 << 20;
constexpr int64_t kMaxTotalParts = 1000000;
constexpr int kMaxPartSizeMb = 4095;  // hximg offsets are 32-bit
constexpr MultipartLimits kChunkForm{16, 4096};
// Decoding and hashing are bounded by memory and disk more than by the
// CPU; two workers keep one part decoding while another is hashed.
constexpr int kIngestWorkers = 2;

// Chunks of an encoded part of `part_size` raw bytes at most: hximg adds a
// 32-byte header and 12 bytes per MiB block.
int64_t max_chunks(uint64_t part_size) {
  uint64_t encoded = part_size + 32 + 12 * ((part_size + kMiB - 1) / kMiB);
  return static_cast<int64_t>((encoded + kChunkSize - 1) / kChunkSize);
}

// Agents send the job's start time as 14 digits; ids are file-name safe
// and short, like machine ids.
bool valid_batch_id(std::string_view id) { return valid_machine_id(id); }

Json image_json(const ImageRecord& r) {
  Json o = json_object();
  json_add_number(o.get(), "id", static_cast<double>(r.id));
  json_add_string(o.get(), "disk_id", std::to_string(r.id));
  json_add_string(o.get(), "machine_id", r.machine_id);
  json_add_string(o.get(), "source", r.source);
  json_add_number(o.get(), "part_size", static_cast<double>(r.part_size));
  json_add_string(o.get(), "token", r.token);
  json_add_string(o.get(), "status", r.status);
  json_add_number(o.get(), "total_parts", static_cast<double>(r.total_parts));
  json_add_number(o.get(), "bodies", static_cast<double>(r.bodies));
  json_add_string(o.get(), "path", r.path);
  json_add_number(o.get(), "bytes", static_cast<double>(r.bytes));
  json_add_string(o.get(), "sha256", r.sha256);
  json_add_string(o.get(), "error", r.error);
  json_add_number(o.get(), "created", static_cast<double>(r.created));
  return o;
}

int reject(std::string* error, int status, std::string text) {
  *error = std::move(text);
  return status;
}

// The fields of one chunk request, checked.
struct ChunkRequest {
  std::string batch_id;
  int64_t part_number = 0, total_parts = 0, chunk_index = 0, total_chunks = 0;
  bool hximg = false;
  uint64_t original_size = 0;
  std::string existing_disk_id;
  std::string_view bytes;  // in the request's body, or in `copy` when spooled
  std::string copy;
};

// Reads the chunk's fields; 0 when they are sound, else the status to
// answer with and *error.
int read_chunk_request(const Form& form, const ImageRecord& image, ChunkRequest* c,
                       std::string* error) {
  std::optional<uint64_t> part, total_parts, index, total_chunks;
  std::string compressed, original_size;
  bool ok = form_text(form, "batch_id", true, &c->batch_id, error) &&
            form_number(form, "part_number", kMaxTotalParts, &part, error) &&
            form_number(form, "total_parts", kMaxTotalParts, &total_parts, error) &&
            form_number(form, "chunk_index", INT32_MAX, &index, error) &&
            form_number(form, "total_chunks", INT32_MAX, &total_chunks, error) &&
            form_text(form, "compressed", false, &compressed, error) &&
            form_text(form, "original_size", false, &original_size, error) &&
            form_text(form, "existing_disk_id", false, &c->existing_disk_id, error);
  if (!ok) return 400;
  c->part_number = static_cast<int64_t>(*part);
  c->total_parts = static_cast<int64_t>(*total_parts);
  c->chunk_index = static_cast<int64_t>(*index);
  c->total_chunks = static_cast<int64_t>(*total_chunks);
  if (!valid_batch_id(c->batch_id)) return reject(error, 400, "batch_id: malformed");
  if (c->part_number < 1 || c->part_number > c->total_parts)
    return reject(error, 400, "part_number: not between 1 and total_parts");
  if (c->total_chunks < 1 || c->total_chunks > max_chunks(image.part_size))
    return reject(
        error, 400,
        "total_chunks: " + std::to_string(c->total_chunks) + " does not fit the part size");
  if (c->chunk_index >= c->total_chunks)
    return reject(error, 400, "chunk_index: not below total_chunks");
  if (!compressed.empty() && compressed != "hximg")
    return reject(error, 422, "compressed: unknown format " + compressed);
  c->hximg = !compressed.empty();
  if (c->hximg) {
    std::optional<uint64_t> size = parse_decimal(original_size, image.part_size);
    if (!size) return reject(error, 422, "original_size: missing, malformed or over the part size");
    c->original_size = *size;
  }
  if (!c->existing_disk_id.empty() && c->existing_disk_id != std::to_string(image.id))
    return reject(error, 409,
                  "existing_disk_id " + c->existing_disk_id + ": not the image of this token");

  const MultipartPart* chunk = multipart_find(form.parts, "chunk");
  if (!chunk || !chunk->has_filename) return reject(error, 400, "chunk: missing");
  const bool last = c->chunk_index == c->total_chunks - 1;
  const bool size_ok = last ? chunk->size <= kChunkSize && (chunk->size > 0 || c->total_chunks == 1)
                            : chunk->size == kChunkSize;
  if (!size_ok)
    return reject(error, 400,
                  "chunk: " + std::to_string(chunk->size) + " bytes do not fit its index");
  const uint64_t end = static_cast<uint64_t>(c->chunk_index) * kChunkSize + chunk->size;
  if (!c->hximg && end > image.part_size)
    return reject(error, 400, "chunk: ends at " + std::to_string(end) + ", over the part size");
  if (form.body.file.empty()) {
    c->bytes = form.body.memory.substr(static_cast<size_t>(chunk->offset),
                                       static_cast<size_t>(chunk->size));
    return 0;
  }
  std::optional<std::string> bytes = body_read(form.body, *chunk, kChunkSize, error);
  if (!bytes) return 500;
  c->copy = std::move(*bytes);
  c->bytes = c->copy;
  return 0;
}

HttpResponse chunk_reply(const ImageRecord& image, const ChunkRequest& c, int64_t held,
                         bool part_done, bool image_done) {
  Json o = json_object();
  json_add_string(o.get(), "status", "ok");
  json_add_string(o.get(), "disk_id", std::to_string(image.id));
  json_add_number(o.get(), "part_number", static_cast<double>(c.part_number));
  json_add_number(o.get(), "chunk_index", static_cast<double>(c.chunk_index));
  json_add_number(o.get(), "total_chunks", static_cast<double>(c.total_chunks));
  json_add_number(o.get(), "chunks_held", static_cast<double>(held));
  json_add_bool(o.get(), "part_complete", part_done);
  json_add_bool(o.get(), "image_complete", image_done);
  return json_reply(200, o.get());
}

// Chunks held for `p` can be combined with chunk `c`: the same run sent
// them with the same layout.
bool same_run(const ImagePart& p, const ChunkRequest& c) {
  return p.batch_id == c.batch_id && p.total_chunks == c.total_chunks &&
         (p.compressed == "hximg") == c.hximg && p.original_size == c.original_size;
}

// A new (or reset) part row for the layout `c` announces.
ImagePart fresh_part(int64_t image_id, const ChunkRequest& c) {
  ImagePart p;
  p.image_id = image_id;
  p.part_number = c.part_number;
  p.batch_id = c.batch_id;
  p.total_chunks = c.total_chunks;
  p.compressed = c.hximg ? "hximg" : "";
  p.original_size = c.original_size;
  return p;
}

// The id in "/api/images/ID" after `prefix`; nullopt unless a plain number.
std::optional<int64_t> path_id(std::string_view path, std::string_view prefix) {
  if (path.substr(0, prefix.size()) != prefix) return std::nullopt;
  std::optional<uint64_t> id = parse_decimal(path.substr(prefix.size()), INT64_MAX);
  if (!id) return std::nullopt;
  return static_cast<int64_t>(*id);
}

}  // namespace

BodyPolicy upload_body_policy(std::string_view path) {
  if (path == "/upload_chunk") return {kChunkSize + 64 * 1024, false};
  if (path == "/api/remote/video_thumbnail") return {kMaxThumbnail + 64 * 1024, false};
  if (path == "/api/remote/scanned_chunk") return {kScanBodyLimit, true};
  return {kDefaultBodyLimit, false};
}

Uploads::Uploads(Store& store, std::string data_dir, Clock clock)
    : store_(store),
      data_dir_(std::filesystem::absolute(data_dir).lexically_normal().string()),
      images_dir_(data_dir_ + "/images"),
      clock_(std::move(clock)),
      pool_(std::make_unique<IngestPool>(kIngestWorkers)) {
  if (sodium_init() < 0) log_msg(LOG_ERROR, "server: crypto library failed to start");
  resume();
}

Uploads::~Uploads() {
  pool_->stop();
  std::map<int64_t, int64_t> left;
  {
    std::lock_guard<std::mutex> lock(locks_mu_);
    left.swap(bodies_);
  }
  for (const auto& [id, n] : left) store_.count_image_bodies(id, n);
}

bool Uploads::is_upload_path(std::string_view path) {
  return path == "/upload_chunk" || path == "/upload_chunk_status" ||
         path == "/api/remote/scanned_chunk" || path == "/api/remote/video_thumbnail";
}

std::shared_ptr<std::mutex> Uploads::lock_for(const std::string& key) {
  std::lock_guard<std::mutex> lock(locks_mu_);
  std::shared_ptr<std::mutex>& mu = locks_[key];
  if (!mu) mu = std::make_shared<std::mutex>();
  return mu;
}

std::string Uploads::scan_folder(int64_t id) const {
  return data_dir_ + "/scans/" + std::to_string(id);
}

std::optional<HttpResponse> Uploads::check_head(std::string_view method, std::string_view path,
                                                std::string_view query, UploadToken* token) {
  std::optional<Params> q = parse_form(query);
  std::string text = q ? param(*q, "token").value_or("") : "";
  std::optional<UploadToken> t = text.empty() ? std::nullopt : store_.upload_token(text);
  if (!t) return json_error(401, "upload token missing or unknown");
  const bool image_path = path == "/upload_chunk" || path == "/upload_chunk_status";
  if (image_path != (t->kind == "image")) return json_error(403, "upload token not valid here");
  const bool get = path == "/upload_chunk_status";
  if (method != (get ? "GET" : "POST")) return json_error(405, get ? "use GET" : "use POST");
  if (token) *token = std::move(*t);
  return std::nullopt;
}

HttpResponse Uploads::handle_upload(const HttpRequest& req, std::string_view path,
                                    std::string_view query) {
  UploadToken t;
  if (std::optional<HttpResponse> refused = check_head(req.method, path, query, &t))
    return std::move(*refused);
  if (path == "/upload_chunk") return upload_chunk(req, t.target);
  if (path == "/upload_chunk_status") return chunk_status(query, t.target);
  if (path == "/api/remote/scanned_chunk") return scanned_chunk(req, t.target);
  return video_thumbnail(req, t.target);
}

HttpResponse Uploads::upload_chunk(const HttpRequest& req, int64_t id) {
  std::shared_ptr<std::mutex> mu = lock_for("image:" + std::to_string(id));
  std::unique_lock<std::mutex> lock(*mu);
  count_body(id);
  std::optional<ImageRecord> image = store_.image(id);
  if (!image) return json_error(500, "image " + std::to_string(id) + ": record unreadable");
  Form form;
  std::string error;
  if (!read_form(req, kChunkForm, &form, &error)) return json_error(400, error);
  ChunkRequest c;
  if (int status = read_chunk_request(form, *image, &c, &error)) return json_error(status, error);
  if (image->status == "complete") return chunk_reply(*image, c, c.total_chunks, true, true);
  if (image->status == "failed")
    return json_error(409, "image " + std::to_string(id) + ": " + image->error);
  if (image->total_parts == 0) {
    store_.set_image_total_parts(id, c.total_parts);
  } else if (image->total_parts != c.total_parts) {
    return json_error(409, "total_parts " + std::to_string(c.total_parts) + ": the image has " +
                               std::to_string(image->total_parts));
  }

  const std::string folder = image_folder(images_dir_, id);
  std::optional<ImagePart> row = store_.image_part(id, c.part_number);
  if (row && row->done) return chunk_reply(*image, c, c.total_chunks, true, false);
  // Whole and with the workers: held for every run, like a finished part.
  if (assembling(id, c.part_number)) return chunk_reply(*image, c, c.total_chunks, false, false);
  if (row && row->failed_batch == c.batch_id)
    return json_error(422,
                      "part " + std::to_string(c.part_number) + " was rejected: " + row->error);
  if (!row || !same_run(*row, c) || !row->error.empty()) {
    // Another run, or the same with another layout: what is held of the
    // part cannot be combined with this chunk. The chunks go before the row
    // names the new run, so a crash between leaves none counted for it.
    if (row && !row->batch_id.empty())
      log_msg(
          LOG_WARN,
          "upload: image %lld part %lld: sent again by batch %s, held chunks of batch %s dropped",
          static_cast<long long>(id), static_cast<long long>(c.part_number), c.batch_id.c_str(),
          row->batch_id.c_str());
    image_drop_chunks(folder, c.part_number);
    row = fresh_part(id, c);
    if (!store_.put_image_part(*row)) return json_error(500, "store: cannot record the part");
  }
  PartLayout layout{c.total_chunks, c.hximg, c.original_size, image->part_size};
  if (!image_write_chunk(folder, c.part_number, c.chunk_index, c.bytes, layout, &error)) {
    log_msg(LOG_ERROR, "upload: %s", error.c_str());
    return json_error(500, error);
  }
  int64_t held = static_cast<int64_t>(image_chunks(folder, c.part_number, c.total_chunks).size());
  if (held < c.total_chunks) return chunk_reply(*image, c, held, false, false);

  if (!image_check_part(folder, c.part_number, layout, &error)) {
    fail_part(id, *row, error);
    return json_error(422, error);
  }
  flush_bodies(id);
  // The reply waits until the workers have decoded the part into the image
  // and synced that. The part's own file is never synced: dropped once
  // decoded, its bytes mostly never reach the disk, which so takes each
  // byte of the image once and not twice.
  auto decoded = std::make_shared<std::promise<void>>();
  std::future<void> waiting = decoded->get_future();
  if (start_assembly(id, c.part_number, std::move(decoded))) {
    lock.unlock();  // the worker takes it to record the part
    waiting.wait();
    lock.lock();
  }
  row = store_.image_part(id, c.part_number);
  if (row && row->done) {
    std::optional<ImageRecord> now = store_.image(id);
    return chunk_reply(*image, c, held, true, now && now->status == "complete");
  }
  // Refused by the decoder, as a broken layout is refused above.
  if (row && row->failed_batch == c.batch_id) return json_error(422, row->error);
  // Not decoded: the workers are stopping, or had the part already. Its
  // chunks are made durable, for the next start to take it up.
  if (!image_seal_part(folder, c.part_number, layout, &error)) {
    log_msg(LOG_ERROR, "upload: %s", error.c_str());
    return json_error(500, error);
  }
  return chunk_reply(*image, c, held, false, false);
}

// Called with the image's lock held, or by the worker that owns the part.
void Uploads::fail_part(int64_t id, ImagePart& row, const std::string& error) {
  log_msg(LOG_WARN, "upload: image %lld part %lld rejected: %s", static_cast<long long>(id),
          static_cast<long long>(row.part_number), error.c_str());
  image_drop_chunks(image_folder(images_dir_, id), row.part_number);
  row.failed_batch = row.batch_id;
  row.error = error;
  store_.put_image_part(row);
  store_.set_image_error(id, "part " + std::to_string(row.part_number) + ": " + error);
}

bool Uploads::assembling(int64_t id, int64_t part) {
  std::lock_guard<std::mutex> lock(locks_mu_);
  return assembling_.count({id, part}) > 0;
}

void Uploads::count_body(int64_t id) {
  std::lock_guard<std::mutex> lock(locks_mu_);
  bodies_[id]++;
}

void Uploads::flush_bodies(int64_t id) {
  int64_t n = 0;
  {
    std::lock_guard<std::mutex> lock(locks_mu_);
    auto it = bodies_.find(id);
    if (it == bodies_.end()) return;
    n = it->second;
    bodies_.erase(it);
  }
  store_.count_image_bodies(id, n);
}

int64_t Uploads::unflushed_bodies(int64_t id) {
  std::lock_guard<std::mutex> lock(locks_mu_);
  auto it = bodies_.find(id);
  return it == bodies_.end() ? 0 : it->second;
}

bool Uploads::start_assembly(int64_t id, int64_t part, std::shared_ptr<std::promise<void>> done) {
  {
    std::lock_guard<std::mutex> lock(locks_mu_);
    if (!assembling_.insert({id, part}).second) return false;
  }
  // A task the pool drops breaks the promise it holds, which wakes the
  // waiter too.
  return pool_->submit([this, id, part, done] {
    std::optional<uint64_t> length = assemble(id, part);
    // The part is durable: its reply need not wait for the hashing.
    if (done) done->set_value();
    if (length) part_done(id, part, *length);
  });
}

std::optional<uint64_t> Uploads::assemble(int64_t id, int64_t part) {
  std::optional<ImageRecord> image = store_.image(id);
  std::optional<ImagePart> row = store_.image_part(id, part);
  std::optional<uint64_t> length;
  if (image && row && !row->done) {
    const std::string folder = image_folder(images_dir_, id);
    PartLayout layout{row->total_chunks, row->compressed == "hximg", row->original_size,
                      image->part_size};
    std::string error;
    length = image_assemble_part(folder, part, layout, &error);
    {
      std::shared_ptr<std::mutex> mu = lock_for("image:" + std::to_string(id));
      std::lock_guard<std::mutex> lock(*mu);
      if (length) {
        // Recorded before its chunks go: a crash between decodes it again.
        row->done = true;
        row->bytes = *length;
        store_.put_image_part(*row);
        image_drop_chunks(folder, part);
      } else {
        fail_part(id, *row, error);
      }
    }
  }
  {
    std::lock_guard<std::mutex> lock(locks_mu_);
    assembling_.erase({id, part});
  }
  return length;
}

std::shared_ptr<Uploads::Hashing> Uploads::hashing_if_any(int64_t id) {
  std::lock_guard<std::mutex> lock(locks_mu_);
  auto it = hashing_.find(id);
  return it == hashing_.end() ? nullptr : it->second;
}

std::shared_ptr<Uploads::Hashing> Uploads::hashing(int64_t id) {
  std::shared_ptr<Hashing> h;
  {
    std::lock_guard<std::mutex> lock(locks_mu_);
    std::shared_ptr<Hashing>& slot = hashing_[id];
    if (!slot) slot = std::make_shared<Hashing>();
    h = slot;
  }
  std::lock_guard<std::mutex> lock(h->mu);
  if (!h->loaded) {
    auto [next, digest] = hash_progress_load(image_folder(images_dir_, id));
    h->order = HashOrder(next);
    h->digest = digest;
    h->loaded = true;
  }
  return h;
}

void Uploads::part_done(int64_t id, int64_t part, uint64_t length) {
  std::optional<ImageRecord> image = store_.image(id);
  if (!image || image->status != "receiving") return;  // finished by another worker
  std::shared_ptr<Hashing> h = hashing(id);
  std::string failed;
  {
    std::lock_guard<std::mutex> lock(h->mu);
    h->order.done(part, length);  // a part hashed already is not taken again
    if (h->busy) return;          // the thread hashing this image takes it up
    h->busy = true;
    failed.swap(h->failed);  // tried again now
  }
  forget_hash_error(id, failed);
  hash_ready(id, h);
}

// Hashes the parts that are next in order, one after another, while this
// thread is the image's only hasher (h->busy).
void Uploads::hash_ready(int64_t id, const std::shared_ptr<Hashing>& h) {
  for (;;) {
    std::optional<std::pair<int64_t, uint64_t>> next;
    {
      std::lock_guard<std::mutex> lock(h->mu);
      next = h->order.take();
      if (!next) {
        h->busy = false;
        break;
      }
    }
    std::string error;
    const bool ok = hash_part(id, next->first, next->second, h->digest, &error);
    std::lock_guard<std::mutex> lock(h->mu);
    if (!ok) {
      // Shown on the image, so the operator and `image` learn why it does
      // not complete; the agent's next request tries again.
      h->order.put_back();
      h->failed = "part " + std::to_string(next->first) + ": hashing failed: " + error;
      h->busy = false;
      store_.set_image_error(id, h->failed);
      return;
    }
    h->order.hashed();
  }
  std::optional<ImageRecord> image = store_.image(id);
  std::lock_guard<std::mutex> lock(h->mu);
  if (!image || h->busy || image->total_parts < 1 || h->order.next() <= image->total_parts) return;
  h->busy = true;  // finishing: no one else hashes or finishes it
  finish_image(id, h->digest.hex());
  std::lock_guard<std::mutex> held(locks_mu_);
  hashing_.erase(id);
}

bool Uploads::hash_part(int64_t id, int64_t part, uint64_t length, ImageDigest& digest,
                        std::string* error) {
  const std::string folder = image_folder(images_dir_, id);
  std::optional<ImageRecord> image = store_.image(id);
  std::unique_ptr<RwFile> file;
  ImageDigest next = digest;
  if (!image) *error = "image record unreadable";
  bool ok = image && image_take_in_old_part(folder, part, image->part_size, error) &&
            (file = RwFile::open(image_file_path(folder), 0600, error)) &&
            digest_file_range(*file, static_cast<uint64_t>(part - 1) * image->part_size, length,
                              next, error) &&
            hash_progress_save(folder, part + 1, next, error);
  if (!ok) {
    log_msg(LOG_ERROR, "upload: image %lld part %lld: hashing failed: %s",
            static_cast<long long>(id), static_cast<long long>(part), error->c_str());
    return false;
  }
  digest = next;
  return true;
}

// Takes up hashing that failed, on a worker. Called without the image's
// lock: finishing takes it with the hashing's lock held.
void Uploads::retry_hashing(int64_t id) {
  std::shared_ptr<Hashing> h = hashing_if_any(id);
  if (!h) return;
  std::string failed;
  {
    std::lock_guard<std::mutex> lock(h->mu);
    if (h->failed.empty() || h->busy) return;
    failed.swap(h->failed);
    h->busy = true;
  }
  forget_hash_error(id, failed);
  // Refused only while stopping: the next start hashes from what was saved.
  pool_->submit([this, id, h] { hash_ready(id, h); });
}

// Hashing that failed with `failed` is tried again: the image no longer
// shows the error, unless something else replaced it meanwhile.
void Uploads::forget_hash_error(int64_t id, const std::string& failed) {
  if (failed.empty()) return;
  log_msg(LOG_INFO, "upload: image %lld: hashing again after: %s", static_cast<long long>(id),
          failed.c_str());
  std::shared_ptr<std::mutex> mu = lock_for("image:" + std::to_string(id));
  std::lock_guard<std::mutex> lock(*mu);
  std::optional<ImageRecord> image = store_.image(id);
  if (image && image->error == failed) store_.set_image_error(id, "");
}

bool Uploads::hashing_failed(int64_t id) {
  std::shared_ptr<Hashing> h = hashing_if_any(id);
  if (!h) return false;
  std::lock_guard<std::mutex> lock(h->mu);
  return !h->failed.empty();
}

void Uploads::finish_image(int64_t id, const std::string& sha256) {
  std::shared_ptr<std::mutex> mu = lock_for("image:" + std::to_string(id));
  std::lock_guard<std::mutex> lock(*mu);
  std::optional<ImageRecord> image = store_.image(id);
  if (!image || image->status != "receiving") return;
  std::map<int64_t, uint64_t> done;  // part number -> length
  for (const ImagePart& p : store_.image_parts(id))
    if (p.done) done[p.part_number] = p.bytes;
  image->error.clear();
  for (int64_t n = 1; n <= image->total_parts && image->error.empty(); n++) {
    if (!done.count(n))
      image->error = "part " + std::to_string(n) + " is missing";
    else if (n < image->total_parts && done[n] != image->part_size)
      image->error = "part " + std::to_string(n) + " holds " + std::to_string(done[n]) +
                     " bytes; every part but the last holds " + std::to_string(image->part_size);
  }
  const std::string folder = image_folder(images_dir_, id);
  std::optional<ImageFile> file;
  if (image->error.empty())
    file = image_finish(folder, image->total_parts, image->part_size, done[image->total_parts],
                        &image->error);
  if (file) {
    image->status = "complete";
    image->path = file->path;
    image->bytes = file->bytes;
    image->sha256 = sha256;
    log_msg(LOG_INFO, "upload: image %lld complete: %s, %llu bytes, sha256 %s",
            static_cast<long long>(id), file->path.c_str(),
            static_cast<unsigned long long>(file->bytes), sha256.c_str());
  } else {
    image->status = "failed";
    log_msg(LOG_ERROR, "upload: image %lld failed: %s", static_cast<long long>(id),
            image->error.c_str());
  }
  flush_bodies(id);
  store_.finish_image(*image);
  hash_progress_drop(folder);
}

// What a server before left to the workers: parts whose chunks are all
// held (sealed) but not recorded done, and done parts not yet hashed.
void Uploads::resume() {
  for (int64_t id : store_.receiving_images()) {
    const std::string folder = image_folder(images_dir_, id);
    for (const ImagePart& p : store_.image_parts(id)) {
      if (p.done) {
        pool_->submit(
            [this, id, part = p.part_number, bytes = p.bytes] { part_done(id, part, bytes); });
      } else if (p.error.empty() && p.total_chunks > 0 &&
                 static_cast<int64_t>(image_chunks(folder, p.part_number, p.total_chunks).size()) ==
                     p.total_chunks) {
        start_assembly(id, p.part_number);
      }
    }
  }
}

HttpResponse Uploads::chunk_status(std::string_view query, int64_t id) {
  std::optional<Params> q = parse_form(query);
  std::optional<uint64_t> part =
      q ? parse_decimal(param(*q, "part_number").value_or(""), kMaxTotalParts) : std::nullopt;
  if (!part || *part < 1) return json_error(400, "part_number: missing or malformed");
  const std::string batch = param(*q, "batch_id").value_or("");
  if (!valid_batch_id(batch)) return json_error(400, "batch_id: missing or malformed");
  // The agent asks before it sends each part, also when a job resumes; not
  // every chunk retries, as each try reads the whole part again.
  retry_hashing(id);
  std::shared_ptr<std::mutex> mu = lock_for("image:" + std::to_string(id));
  std::lock_guard<std::mutex> lock(*mu);
  std::optional<ImagePart> row = store_.image_part(id, static_cast<int64_t>(*part));
  Json held = json_array();
  if (row) {
    std::vector<int64_t> chunks;
    if (row->done) {
      for (int64_t c = 0; c < row->total_chunks; c++) chunks.push_back(c);
    } else if (assembling(id, row->part_number)) {
      for (int64_t c = 0; c < row->total_chunks; c++) chunks.push_back(c);
    } else if (row->batch_id == batch) {
      chunks = image_chunks(image_folder(images_dir_, id), row->part_number, row->total_chunks);
    }
    for (int64_t c : chunks) json_append(held.get(), json_parse(std::to_string(c)));
  }
  Json o = json_object();
  json_add_item(o.get(), "received_chunks", std::move(held));
  json_add_string(o.get(), "disk_id", std::to_string(id));
  json_add_number(o.get(), "part_number", static_cast<double>(*part));
  return json_reply(200, o.get());
}

std::optional<HttpResponse> Uploads::handle_admin(const HttpRequest& req, std::string_view path,
                                                  std::string_view query) {
  const bool get = req.method == "GET", post = req.method == "POST";
  if (path == "/api/images") {
    if (post) return add_image(req);
    if (get) return list_images(query);
    return json_error(405, "use GET or POST");
  }
  if (path == "/api/scans") return post ? add_scan(req) : json_error(405, "use POST");
  if (std::optional<int64_t> id = path_id(path, "/api/images/")) {
    return get ? show_image(*id) : json_error(405, "use GET");
  }
  if (std::optional<int64_t> id = path_id(path, "/api/scans/")) {
    return get ? show_scan(*id) : json_error(405, "use GET");
  }
  return std::nullopt;
}

HttpResponse Uploads::add_image(const HttpRequest& req) {
  Json body = json_parse(req.body);
  if (!json_is_object(body.get())) return json_error(400, "body: not a JSON object");
  ImageRecord r;
  r.machine_id = json_get_string(body.get(), "machine_id");
  r.source = json_get_string(body.get(), "source");
  double mb = json_get_number(body.get(), "part_size_mb", 500);
  if (!valid_machine_id(r.machine_id)) return json_error(400, "machine_id: missing or malformed");
  if (r.source.empty() || r.source.size() > kMaxSource)
    return json_error(400, "source: missing or too long");
  if (!(mb >= 1 && mb <= kMaxPartSizeMb) || mb != static_cast<int>(mb))
    return json_error(
        400, "part_size_mb: not a whole number from 1 to " + std::to_string(kMaxPartSizeMb));
  r.part_size = static_cast<uint64_t>(mb) * kMiB;
  r.token = new_upload_token();
  std::optional<ImageRecord> added = store_.add_image(r, clock_());
  if (!added) return json_error(500, "store: cannot add the image");
  log_msg(LOG_INFO, "upload: image %lld issued for machine %s (%s)",
          static_cast<long long>(added->id), r.machine_id.c_str(), r.source.c_str());
  Json out = json_object();
  json_add_item(out.get(), "image", image_json(*added));
  return json_reply(200, out.get());
}

HttpResponse Uploads::list_images(std::string_view query) {
  std::optional<Params> q = parse_form(query);
  std::string machine = q ? param(*q, "machine_id").value_or("") : "";
  if (!valid_machine_id(machine)) return json_error(400, "machine_id: missing or malformed");
  Json list = json_array();
  for (const ImageRecord& r : store_.images(machine, param(*q, "source").value_or("")))
    json_append(list.get(), image_json(r));
  Json out = json_object();
  json_add_item(out.get(), "images", std::move(list));
  return json_reply(200, out.get());
}

HttpResponse Uploads::show_image(int64_t id) {
  std::optional<ImageRecord> image = store_.image(id);
  if (!image) return json_error(404, "image " + std::to_string(id) + ": unknown");
  image->bodies += unflushed_bodies(id);
  Json o = image_json(*image);
  Json parts = json_array();
  // Every part is in: the workers are finishing the image.
  std::set<int64_t> in;
  for (const ImagePart& p : store_.image_parts(id)) {
    if (p.done || assembling(id, p.part_number)) in.insert(p.part_number);
    Json j = json_object();
    json_add_number(j.get(), "part_number", static_cast<double>(p.part_number));
    json_add_number(j.get(), "total_chunks", static_cast<double>(p.total_chunks));
    json_add_string(j.get(), "compressed", p.compressed);
    json_add_bool(j.get(), "done", p.done);
    json_add_number(j.get(), "bytes", static_cast<double>(p.bytes));
    json_add_string(j.get(), "error", p.error);
    json_append(parts.get(), std::move(j));
  }
  json_add_item(o.get(), "parts", std::move(parts));
  // Not while hashing is stopped by a failure: `error` says why.
  json_add_bool(o.get(), "finishing",
                image->status == "receiving" && image->total_parts > 0 && !hashing_failed(id) &&
                    static_cast<int64_t>(in.size()) == image->total_parts);
  Json out = json_object();
  json_add_item(out.get(), "image", std::move(o));
  return json_reply(200, out.get());
}

}  // namespace halvex::server
