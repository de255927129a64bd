#include "scan/scan_job.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "core/log.h"
#include "core/thread.h"
#include "core/util.h"
#include "disk/disk_path.h"
#include "disk/disk_reader.h"
#include "link/proto.h"
#include "net/http_post.h"
#include "platform/clock.h"
#include "scan/fs_tree.h"
#include "scan/scan_upload.h"

namespace halvex {

namespace {

// Set at registration, before the first connection; null in tests that have
// no server.
ServerBaseUrlFn g_base_url = nullptr;

// The base URL of requests that name none of their own.
std::string fallback_base_url() { return g_base_url != nullptr ? g_base_url() : ""; }

constexpr int kUploadAttempts = 3;
constexpr uint32_t kRetryWaitMs = 5000;  // times the attempt number: 5 s, then 10 s
constexpr size_t kUploadUrlBytes = 512;  // URLs are kept to 511 characters
constexpr int32_t kBytesPerMb = 1048576;

std::atomic<bool> g_running{false};  // a scan thread exists and has not ended
std::atomic<bool> g_cancel{false};

// The payload of every scan event: "scan_id" first, when the request had one.
Json scan_event(const ScanRequest& r) {
  Json event = json_object();
  if (r.scan_id) json_add_string(event.get(), "scan_id", *r.scan_id);
  return event;
}

void send_progress(const ScanRequest& r, uint64_t offset, uint64_t length, uint64_t chunks,
                   bool upload_failed) {
  Json event = scan_event(r);
  json_add_number(event.get(), "offset", static_cast<double>(offset));
  json_add_number(event.get(), "total_size", static_cast<double>(length));
  json_add_number(event.get(), "chunk_index", static_cast<double>(chunks));
  if (upload_failed) json_add_bool(event.get(), "upload_failed", true);
  send_event("stream_chunk_progress", std::move(event));
}

// The event that ends a scan. It is sent after the scan is marked as no
// longer running, so that a server which starts the next scan as soon as it
// sees it is not refused.
struct FinalEvent {
  const char* name = nullptr;  // none: the scan ends silently
  Json d;
};

FinalEvent scan_error(const ScanRequest& r, const std::string& text) {
  Json event = scan_event(r);
  json_add_string(event.get(), "error", text);
  return {"remote_scan_error", std::move(event)};
}

// The reference server takes messages of up to 64 MiB; the tree, sent as
// one message, is kept to 60 MiB with everything around it.
constexpr size_t kTreeMessageBytes = 62914560;
// Room for the envelope around the tree: {"e":"directory_tree","d":{
// "scan_id":...,"directory_tree":...}} without the scan id's text.
constexpr size_t kTreeEnvelopeBytes = 128;

// The tree's byte budget: the message limit less the envelope.
size_t tree_budget(const ScanRequest& r) {
  size_t around = kTreeEnvelopeBytes;
  if (r.scan_id) {
    std::string id;
    json_write_string(&id, *r.scan_id);
    around += id.size();
  }
  return around < kTreeMessageBytes ? kTreeMessageBytes - around : 0;
}

// The tree pass: its own reader, so that what it finds unreadable is not
// counted twice with the chunk reads. A disk that will not open is skipped
// here; the chunk pass reports it. The tree is built as JSON text during
// the walk, so only that text is held, and it is handed to the event as it
// stands.
void send_tree(const ScanRequest& r, const std::string& device, uint64_t total) {
  std::unique_ptr<DiskReader> reader = DiskReader::open(device);
  if (!reader) return;
  FsTreeJson tree = build_fs_tree_json(
      [&reader](uint64_t offset, uint8_t* buffer, uint64_t length) {
        return reader->read_range(offset, buffer, length) == ReadOutcome::kOk;
      },
      total, tree_budget(r));
  reader.reset();
  if (tree.text.empty()) return;
  if (tree.truncated)
    log_msg(LOG_WARN, "scan: directory tree cut to %zu of %zu entries found", tree.listed,
            tree.found);
  Json event = scan_event(r);
  json_add_raw(event.get(), "directory_tree", std::move(tree.text));
  send_event("directory_tree", std::move(event));
  log_msg(LOG_INFO, "scan: sent directory tree (%d entries)", static_cast<int>(tree.listed));
}

// Up to three attempts, 5 s and 10 s apart. The cancel flag is not looked
// at here: a chunk's attempts always finish.
bool post_with_retry(const std::string& url, const ScanUploadBody& body,
                     const std::string& content_type) {
  for (int attempt = 1; attempt <= kUploadAttempts; attempt++) {
    std::string error;
    if (http_post(url, body.data.get(), body.size, content_type, &error)) return true;
    if (attempt < kUploadAttempts) {
      log_msg(LOG_WARN, "scan: chunk upload failed: %s, retrying...",
              error.empty() ? "?" : error.c_str());
      clock_wait_ms(kRetryWaitMs * static_cast<uint32_t>(attempt));
    } else if (!error.empty()) {
      log_msg(LOG_ERROR, "scan: chunk upload failed: %s", error.c_str());
    }
  }
  return false;
}

// Matches one chunk and builds the body of its upload: its hits and the
// bytes around them, copied, so that the chunk buffer is free once this
// returns. False when the body cannot be built (too large or no memory);
// the chunk is then as lost as a refused upload. Sets *truncated when the
// chunk had more hits than the matcher keeps.
bool build_chunk_body(const ScanRequest& r, uint64_t offset, const uint8_t* data, uint32_t n,
                      ScanUploadFields* fields, ScanUploadBody* body, bool* truncated) {
  *fields = ScanUploadFields{scan_make_boundary(), r.scan_id.value_or(""), offset, n};
  ScanHits hits = scan_signatures(offset, data, n, r.config);
  if (hits.truncated) {
    log_msg(LOG_WARN,
            "scan: chunk at offset %" PRIu64 " has more than %" PRIu64 " hits, the rest dropped",
            offset, kScanMaxHits);
    *truncated = true;
  }
  std::vector<ScanRegion> regions = build_regions(offset, data, n, hits);
  std::string error;
  if (scan_upload_body(*fields, hits, regions, body, &error)) return true;
  log_msg(LOG_ERROR, "scan: chunk upload failed: %s", error.c_str());
  return false;
}

// Bodies up to this size may be uploaded two at a time. A larger one,
// which only a chunk dense with hits makes, goes up alone: the next body is
// built only once it is done.
constexpr uint64_t kMaxPairedBody = 67108864;

// A thread that runs the jobs handed to it, one at a time. Kept for the
// whole scan: the scan's uploads keep their connection from one chunk to
// the next this way (platform/http.h keeps a connection per thread). The
// thread starts with the first job and ends with the object, after the
// job under way.
class JobThread {
 public:
  explicit JobThread(const char* tag) : tag_(tag) {}
  ~JobThread() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      quit_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  JobThread(const JobThread&) = delete;
  JobThread& operator=(const JobThread&) = delete;

  // Hands `job` to the thread, after the job handed before it has run.
  // False when the thread cannot be started; the job is then not run.
  // One thread hands the jobs.
  bool run(std::function<void()> job) {
    if (!thread_.joinable() && !thread_start_joinable(&thread_, tag_, [this] { loop(); }))
      return false;
    wait();
    {
      std::lock_guard<std::mutex> lock(mu_);
      job_ = std::move(job);
    }
    cv_.notify_all();
    return true;
  }

  // Waits until the job handed last has run.
  void wait() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return !job_; });
  }

 private:
  void loop() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
      cv_.wait(lock, [this] { return quit_ || job_; });
      if (!job_) return;
      std::function<void()> job = job_;
      lock.unlock();
      run_guarded(tag_, job);  // a failure leaves the job's outcome unset
      lock.lock();
      job_ = nullptr;
      cv_.notify_all();
    }
  }

  const char* const tag_;
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::function<void()> job_;  // set while a job waits or runs
  bool quit_ = false;
};

// Chunk uploads, up to two at once, on two upload threads taken in turn.
// Waiting for each reply before sending the next body leaves the link idle
// while the server stores a chunk; with two under way it receives one
// chunk while it stores the other. Uploads are taken back in the order
// they began, so progress events keep the chunk order. The destructor
// waits for every upload still under way.
class ChunkUploads {
 public:
  struct Done {
    uint64_t offset;  // the chunk's disk offset
    uint32_t n;       // and its length
    bool uploaded;
  };

  ChunkUploads() = default;
  ~ChunkUploads() {
    while (!flights_.empty()) take();
  }
  ChunkUploads(const ChunkUploads&) = delete;
  ChunkUploads& operator=(const ChunkUploads&) = delete;

  bool empty() const { return flights_.empty(); }

  // No room for another upload until the oldest is taken.
  bool full() const {
    if (flights_.size() >= 2) return true;
    return !flights_.empty() && flights_.front()->body_size > kMaxPairedBody;
  }

  // Begins uploading `body`, built from `fields`; an empty body (one that
  // could not be built) counts as a failed upload at once. Posts on this
  // thread when no upload thread can be started.
  void start(const std::string& url, const ScanUploadFields& fields, ScanUploadBody body) {
    auto flight = std::make_unique<Flight>();
    Flight* f = flight.get();
    f->offset = fields.offset;
    f->n = fields.chunk_bytes;
    f->body_size = body.size;
    f->body = std::move(body);
    f->content_type = scan_upload_content_type(fields.boundary);
    flights_.push_back(std::move(flight));
    if (!f->body.data) return;
    auto post = [f, url] {
      f->uploaded = post_with_retry(url, f->body, f->content_type);
      f->body = ScanUploadBody{};  // its memory back before the upload is taken
    };
    JobThread& thread = threads_[next_];
    next_ = 1 - next_;
    if (thread.run(post)) {
      f->thread = &thread;
    } else {
      post();
    }
  }

  // Waits for the oldest upload and hands back its outcome.
  Done take() {
    std::unique_ptr<Flight> f = std::move(flights_.front());
    flights_.pop_front();
    if (f->thread != nullptr) f->thread->wait();
    return {f->offset, f->n, f->uploaded};
  }

 private:
  struct Flight {
    uint64_t offset = 0;
    uint32_t n = 0;
    uint64_t body_size = 0;
    ScanUploadBody body;
    std::string content_type;
    JobThread* thread = nullptr;  // null: ran on the scan thread, or never ran
    bool uploaded = false;        // written by the upload, read after it
  };
  // Declared before the flights, so that the threads outlive them.
  JobThread threads_[2] = {JobThread("scan-upload"), JobThread("scan-upload")};
  int next_ = 0;  // the thread of the next upload
  std::deque<std::unique_ptr<Flight>> flights_;
};

Json ranges_json(const std::vector<ByteRange>& ranges) {
  Json array = json_array();
  for (const ByteRange& range : ranges) {
    Json item = json_object();
    json_add_number(item.get(), "offset", static_cast<double>(range.offset));
    json_add_number(item.get(), "length", static_cast<double>(range.length));
    json_append(array.get(), std::move(item));
  }
  return array;
}

FinalEvent scan_complete(const ScanRequest& r, const DiskReader& reader,
                         const std::vector<uint64_t>& failed, bool hits_truncated) {
  Json event = scan_event(r);
  json_add_string(event.get(), "status", "complete");
  if (hits_truncated) json_add_bool(event.get(), "hits_truncated", true);
  if (reader.unreadable_bytes() != 0) {
    json_add_number(event.get(), "unreadable_bytes",
                    static_cast<double>(reader.unreadable_bytes()));
    json_add_item(event.get(), "unreadable_ranges", ranges_json(reader.unreadable_ranges()));
  }
  if (!failed.empty()) {
    Json offsets = json_array();
    // A number item: the text of a whole number parses to one.
    for (uint64_t offset : failed) json_append(offsets.get(), json_parse(std::to_string(offset)));
    json_add_item(event.get(), "failed_chunks", std::move(offsets));
  }
  return {"stream_chunk_complete", std::move(event)};
}

// The chunk buffer, or null when it cannot be had. A negative chunk size
// is a size no allocation can meet.
std::unique_ptr<uint8_t[]> allocate_chunk(int32_t chunk_size) {
  if (chunk_size < 0) return nullptr;
  return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[std::max<int32_t>(chunk_size, 1)]);
}

// Chunks up to this size get a second buffer, so that the next chunk is
// read while this one is matched and uploaded. A larger chunk, which only
// a server asks for, keeps the memory of one.
constexpr int32_t kMaxReadAheadChunk = kScanDefaultChunkSize;

// One chunk read at a time on a thread of its own. On a real disk reading
// a chunk often takes as long as uploading its regions; overlapped, a scan
// runs at the slower of the two instead of their sum. Only this object
// reads from the reader between start() and wait(); the destructor waits
// for a read still running.
class ReadAhead {
 public:
  explicit ReadAhead(DiskReader& reader) : reader_(reader) {}
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Starts reading `length` bytes at `offset` into `buffer`, which must
  // stay untouched until wait(). Reads on this thread when no thread can
  // be started.
  void start(uint64_t offset, uint8_t* buffer, uint32_t length) {
    outcome_ = ReadOutcome::kFailed;
    auto read = [this, offset, buffer, length] {
      outcome_ = reader_.read_range(offset, buffer, length);
    };
    if (!thread_.run(read)) read();
  }

  // The outcome of the read started last.
  ReadOutcome wait() {
    thread_.wait();
    return outcome_;
  }

 private:
  DiskReader& reader_;
  ReadOutcome outcome_ = ReadOutcome::kFailed;
  JobThread thread_{"scan-read"};  // last: destroyed first, so no read outlives the rest
};

// The chunk buffers: `two` is null when the scan reads each chunk after the
// previous one's upload.
struct ChunkBuffers {
  std::unique_ptr<uint8_t[]> one, two;
};

// Reads, matches and uploads the chunks of [start, end) until the end, a
// cancel, or a read the reader gives up on. Events go out in the order a
// scan one chunk at a time sends them: each chunk's progress in chunk
// order, and before the error of a read after it. A cancel lets the
// uploads under way finish, with their progress, and starts no other.
FinalEvent scan_chunks(const ScanRequest& r, DiskReader& reader, ChunkBuffers& buffers,
                       uint64_t start, uint64_t end) {
  const uint64_t length = end - start;
  auto chunk_at = [&](uint64_t offset) {
    return static_cast<uint32_t>(
        std::min<uint64_t>(static_cast<uint32_t>(r.chunk_size), end - offset));
  };
  uint8_t* buffer = buffers.one.get();
  uint8_t* spare = buffers.two.get();
  uint64_t chunks = 0;
  std::vector<uint64_t> failed;  // offsets of chunks whose upload failed
  bool hits_truncated = false;
  ReadAhead ahead(reader);
  ChunkUploads uploads;
  auto take_oldest = [&] {
    ChunkUploads::Done done = uploads.take();
    if (!done.uploaded) failed.push_back(done.offset);
    chunks++;
    send_progress(r, done.offset + done.n, length, chunks, !done.uploaded);
  };
  bool reading = false;  // a read of the chunk at `offset` into `buffer` is under way
  for (uint64_t offset = start; offset < end;) {
    while (uploads.full()) take_oldest();
    if (g_cancel.load()) break;
    uint32_t n = chunk_at(offset);
    if (n == 0) break;
    if (!reading) ahead.start(offset, buffer, n);
    if (ahead.wait() != ReadOutcome::kOk) {
      while (!uploads.empty()) take_oldest();
      char text[64];
      std::snprintf(text, sizeof text, "Read error at offset %" PRIu64, reader.failed_offset());
      log_msg(LOG_ERROR, "scan: read error at offset %" PRIu64, reader.failed_offset());
      return scan_error(r, text);
    }
    reading = spare != nullptr && offset + n < end;
    if (reading) ahead.start(offset + n, spare, chunk_at(offset + n));
    ScanUploadFields fields;
    ScanUploadBody body;
    build_chunk_body(r, offset, buffer, n, &fields, &body, &hits_truncated);
    uploads.start(r.upload_url, fields, std::move(body));
    offset += n;
    if (reading) std::swap(buffer, spare);
  }
  while (!uploads.empty()) take_oldest();
  if (g_cancel.load()) return {};
  log_msg(LOG_INFO, "scan: complete, %d chunks processed", static_cast<int>(chunks));
  return scan_complete(r, reader, failed, hits_truncated);
}

FinalEvent run_scan(const ScanRequest& r) {
  // A cut URL would send the chunks somewhere else, or with another token.
  if (r.upload_url.size() >= kUploadUrlBytes) {
    log_msg(LOG_ERROR, "scan: upload URL of %zu characters is too long", r.upload_url.size());
    return scan_error(r, "Upload URL too long");
  }
  const std::optional<std::string> device = scan_source(r);
  uint64_t total = r.total_size != 0 ? r.total_size : device ? get_disk_size(*device) : 0;
  const uint64_t start = r.start;
  // A start beyond the end scans nothing, and reports a length of 0.
  const uint64_t end = std::max(scan_end(r, total), start);
  log_msg(LOG_INFO, "scan: starting %s scan_id=%s chunk=%dMB", format_size(end - start).c_str(),
          r.scan_id ? r.scan_id->c_str() : "?", r.chunk_size / kBytesPerMb);
  send_progress(r, start, end - start, 0, false);

  if (device) send_tree(r, *device, total);
  std::unique_ptr<DiskReader> reader = device ? DiskReader::open(*device) : nullptr;
  if (!reader) return scan_error(r, "Cannot open disk for scanning");
  ChunkBuffers buffers;
  buffers.one = allocate_chunk(r.chunk_size);
  if (!buffers.one) {
    log_msg(LOG_ERROR, "scan: cannot allocate a chunk buffer of %d bytes", r.chunk_size);
    return scan_error(r, "Out of memory");
  }
  // Without the second buffer the scan still runs, one step at a time.
  if (r.chunk_size <= kMaxReadAheadChunk) buffers.two = allocate_chunk(r.chunk_size);
  return scan_chunks(r, *reader, buffers, start, end);
}

// Sends the scan's last event once the scan no longer counts as running.
void end_scan(FinalEvent last) {
  g_running.store(false);
  if (last.name != nullptr) send_event(last.name, std::move(last.d));
}

void on_stream_disk_chunks(const cJSON* d) {
  if (g_running.exchange(true)) {
    Json event = json_object();
    json_add_string(event.get(), "error", "Remote scan already in progress");
    send_event("remote_scan_error", std::move(event));
    return;
  }
  g_cancel.store(false);
  auto request = std::make_shared<const ScanRequest>(scan_read_request(d, fallback_base_url()));
  // A scan that fails for want of memory or of a thread ends with that error.
  thread_start(
      "scan", [request] { end_scan(run_scan(*request)); },
      [request](const std::string& error) { end_scan(scan_error(*request, error)); });
}

void on_cancel_remote_scan(const cJSON*) {
  log_msg(LOG_INFO, "scan: cancel requested");
  g_cancel.store(true);
}

}  // namespace

void scan_register_handlers(ServerBaseUrlFn base_url) {
  g_base_url = base_url;
  register_handler("stream_disk_chunks", on_stream_disk_chunks);
  register_handler("cancel_remote_scan", on_cancel_remote_scan);
}

ScanRequest scan_read_request(const cJSON* d, const std::string& default_base) {
  ScanRequest r;
  if (json_is_string(json_get(d, "scan_id"))) r.scan_id = json_get_string(d, "scan_id");
  r.disk_path = json_get_string(d, "disk_path");
  r.disk_id = json_get_int32(d, "disk_id", -1);
  r.chunk_size = json_get_int32(d, "chunk_size", kScanDefaultChunkSize);
  r.start = json_get_u64(d, "start_offset");
  r.scan_size = json_get_u64(d, "scan_size");
  r.total_size = json_get_u64(d, "total_size");
  std::string base = request_base_url(d, default_base);
  r.upload_url = base + "/api/remote/scanned_chunk?token=" + json_get_string(d, "upload_token");
  r.config = scan_config_read(json_get(d, "scan_config"));
  return r;
}

std::optional<std::string> scan_source(const ScanRequest& r) {
  if (!r.disk_path.empty()) return disk_resolve_device(r.disk_path);
  if (r.disk_id < 0) return std::nullopt;
  return disk_device_path(r.disk_id);
}

uint64_t scan_end(const ScanRequest& r, uint64_t total) {
  uint64_t end;
  if (r.scan_size == 0 || __builtin_add_overflow(r.start, r.scan_size, &end) || end > total)
    return total;
  return end;
}

}  // namespace halvex
