// The imaging job: request checks, the job thread (set-up, reading loop,
// end), the uploader stage, and the handlers that start and cancel jobs.

#include "imaging/imaging_job.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "core/log.h"
#include "core/thread.h"
#include "core/util.h"
#include "disk/disk_path.h"
#include "disk/disk_reader.h"
#include "imaging/hximg.h"
#include "imaging/imaging_job_testing.h"
#include "imaging/part_buffer.h"
#include "imaging/part_queue.h"
#include "imaging/upload_client.h"
#include "link/proto.h"
#include "platform/block_file.h"
#include "platform/clock.h"
#include "platform/system.h"

namespace halvex {

namespace {

// Set at registration, before the first connection; null in tests that have
// no server.
ServerBaseUrlFn g_base_url = nullptr;

// The base URL of requests that name none of their own.
std::string fallback_base_url() { return g_base_url != nullptr ? g_base_url() : ""; }

constexpr uint64_t kMiB = 1048576;
constexpr double kGiB = 1073741824.0;
constexpr int32_t kDefaultPartSizeMb = 500;
constexpr int32_t kMaxPartSizeMb = 4095;
constexpr int32_t kRawQueueCapacity = 2;
constexpr int32_t kEncodedQueueCapacity = 3;
constexpr size_t kNameCapacity = 128;      // names are kept to 127 characters
constexpr size_t kFilePathCapacity = 512;  // paths are kept to 511 bytes
// How long the job waits for a stage before it says so in the log; it then
// waits on, since the stage still uses the job's queues and record.
constexpr auto kStageWarnAfter = std::chrono::milliseconds(660000);
constexpr int kShutdownPolls = 200;  // 10 s in 50 ms steps

// A stage thread (encoder or uploader) that signals when it is done, so the
// job can wait for it with a warning instead of a hard limit.
class StageThread {
 public:
  // Runs body() on a new thread named `thread_tag`. When the body fails
  // (out of memory), on_failure runs on that thread before the stage counts
  // as done; `tag` names the body in the log. False, with nothing run, when
  // the thread cannot be started.
  bool start(const char* thread_tag, const char* tag, std::function<void()> body,
             ThreadFailure on_failure) {
    return thread_start_joinable(&thread_, thread_tag,
                                 [this, tag, body = std::move(body), on_failure] {
                                   run_guarded(tag, body, on_failure);
                                   std::lock_guard<std::mutex> lock(mu_);
                                   done_ = true;
                                   cv_.notify_all();
                                 });
  }

  // Waits for the thread to end, however long that takes.
  void wait(const char* name) {
    if (!thread_.joinable()) return;
    {
      std::unique_lock<std::mutex> lock(mu_);
      if (!cv_.wait_for(lock, kStageWarnAfter, [this] { return done_; })) {
        log_msg(LOG_WARN, "imaging: %s thread still running after 660 s, waiting for it", name);
        cv_.wait(lock, [this] { return done_; });
      }
    }
    thread_.join();
  }

  // Normally wait() has joined; this only keeps an unexpected early return
  // from destroying a running thread (which would end the process).
  ~StageThread() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
};

// One job. The handlers keep the newest in g_job; a job started while a
// cancelled one winds down holds that one in `previous` and waits for it.
struct ImagingJob {
  ImagingRequest request;
  std::atomic<bool> cancel{false};
  std::atomic<bool> cancel_reported{false};  // its one "cancelled" progress went out
  std::atomic<bool> finished{false};
  // A stage failed and its "job_error" went out: no completion, and the
  // reader stops at its next part.
  std::atomic<bool> failed{false};
  std::thread thread;
  std::shared_ptr<ImagingJob> previous;

  // Shared with the uploader; guarded by mu.
  std::mutex mu;
  std::optional<std::string> upload_error;
  int32_t parts_uploaded = 0;

  // Set up by the job thread before the stages start.
  std::string batch_id;
  int32_t last_part = 0;
};

std::mutex g_jobs_mu;
std::shared_ptr<ImagingJob> g_job;  // guarded by g_jobs_mu

std::mutex g_batch_mu;
std::string g_last_batch_id;  // guarded by g_batch_mu

std::atomic<int32_t> g_fail_part_alloc{0};  // test hook: part number whose buffer "runs out"

std::mutex g_roots_mu;
DeviceRoots g_roots;  // guarded by g_roots_mu; moved by tests only

DeviceRoots device_roots() {
  std::lock_guard<std::mutex> lock(g_roots_mu);
  return g_roots;
}

// The local time as 14 digits. Two jobs in one second would share an id
// and their parts would mix on the server, so a repeat waits for the next
// second.
std::string next_batch_id() {
  std::lock_guard<std::mutex> lock(g_batch_mu);
  for (;;) {
    std::tm tm{};
    char text[32] = "";
    if (system_local_time(std::time(nullptr), &tm))
      std::strftime(text, sizeof text, "%Y%m%d%H%M%S", &tm);
    if (text != g_last_batch_id) {
      g_last_batch_id = text;
      return text;
    }
    sleep_ms(100);
  }
}

double percent(double part, double whole) { return part / whole * 100.0; }

void send_error(const std::string& text) {
  Json d = json_object();
  json_add_string(d.get(), "error", text);
  send_event("job_error", std::move(d));
}

// The start of an "imaging_progress" payload: "phase", "part" and
// "total_parts", in that order; callers add the rest.
Json progress_payload(const char* phase, int32_t part, int32_t total_parts) {
  Json d = json_object();
  json_add_string(d.get(), "phase", phase);
  json_add_number(d.get(), "part", part);
  json_add_number(d.get(), "total_parts", total_parts);
  return d;
}

void send_reconnected_progress() {
  Json d = json_object();
  json_add_string(d.get(), "phase", "pipeline");
  json_add_string(d.get(), "status", "Job in progress (reconnected)");
  json_add_number(d.get(), "progress", -1);
  send_event("imaging_progress", std::move(d));
}

// Once per job, by whichever of the reader and the job's end sees the cancel
// first.
void send_cancelled(ImagingJob& job) {
  if (job.cancel_reported.exchange(true)) return;
  log_msg(LOG_INFO, "imaging: cancelled by user");
  Json d = json_object();
  json_add_bool(d.get(), "cancelled", true);
  send_event("imaging_progress", std::move(d));
}

int32_t parts_uploaded(ImagingJob& job) {
  std::lock_guard<std::mutex> lock(job.mu);
  return job.parts_uploaded;
}

std::optional<std::string> upload_error(ImagingJob& job) {
  std::lock_guard<std::mutex> lock(job.mu);
  return job.upload_error;
}

// Ends the job with `error` ("Out of memory", "Cannot start thread"); the
// stages wind down through their end markers as after an upload error.
void fail_job(ImagingJob& job, const std::string& error) {
  send_error(error);
  job.failed = true;
}

// Takes everything left in `queue` up to and including the end marker, so
// that its producer is never left blocked by a stage that failed.
void drain(PartQueue& queue) {
  while (queue.pop()) {
  }
}

// ---- uploader stage ----

// Sends one part; on failure records the job's first upload error.
bool upload_one(ImagingJob& job, const ImagingPart& part) {
  const ImagingRequest& r = job.request;
  log_msg(LOG_INFO, "  Uploading part %d/%d (%s)...", part.part_number, part.total_parts,
          format_size(part.length).c_str());
  Json d = progress_payload("uploading", part.part_number, part.total_parts);
  json_add_number(d.get(), "parts_uploaded", parts_uploaded(job));
  json_add_string(d.get(), "size", format_size(part.length));
  send_event("imaging_progress", std::move(d));

  UploadPartInfo info;
  info.base_url = r.base_url;
  info.token = r.token;
  info.batch_id = job.batch_id;
  info.part_number = part.part_number;
  info.total_parts = part.total_parts;
  info.format = part.format.value_or("");
  info.uncompressed_size = part.uncompressed_size;
  info.disk_name = r.upload_name;
  info.existing_disk_id = r.existing_disk_id;
  std::string error;
  Json reply = upload_part(info, part.bytes.get(), part.length, &job.cancel, &error);
  if (reply) {
    std::lock_guard<std::mutex> lock(job.mu);
    job.parts_uploaded++;
    log_msg(LOG_INFO, "  Upload OK part %d", part.part_number);
    return true;
  }
  if (job.cancel.load()) {
    // Stopped by the cancel, which the job reports as such: not an error.
    log_msg(LOG_INFO, "  Upload of part %d stopped by the cancel", part.part_number);
    return false;
  }
  log_msg(LOG_ERROR, "  Upload FAILED part %d: %s", part.part_number,
          error.empty() ? "unknown" : error.c_str());
  send_error(error.empty() ? "Upload failed \u2014 check network connection" : error);
  std::lock_guard<std::mutex> lock(job.mu);
  if (!job.upload_error) job.upload_error = error.empty() ? "Upload failed" : error;
  return false;
}

// Pops until the end marker. After a cancel or a failed upload the rest is
// discarded, but still popped, so the encoder is never left blocked.
void uploader_stage(ImagingJob& job, PartQueue& encoded) {
  bool discarding = false;
  while (std::unique_ptr<ImagingPart> part = encoded.pop()) {
    if (discarding || job.cancel.load()) {
      discarding = true;
      continue;
    }
    if (!upload_one(job, *part)) discarding = true;
  }
}

// ---- job thread ----

struct Source {
  std::string path;    // as the job names it in its log
  std::string device;  // what is opened
  uint64_t size = 0;
};

// Finds the source and its size; false (with the error event sent) when
// there is nothing to read.
bool find_source(const ImagingRequest& r, Source* source) {
  if (r.file_path.empty()) {
    DeviceRoots roots = device_roots();
    source->path = physical_drive_path(r.disk_id);
    source->device = disk_resolve_device(source->path, roots).value_or("");
    source->size = get_disk_size(source->path, roots);
    log_msg(LOG_INFO, "imaging: %s (%s)%s", source->path.c_str(), format_size(source->size).c_str(),
            "");
    if (source->size == 0) send_error("Could not determine disk size. Check permissions.");
  } else {
    // A cut path would name another file, which would then be sent.
    if (r.file_path.size() >= kFilePathCapacity) {
      log_msg(LOG_ERROR, "imaging: file path of %zu bytes is too long", r.file_path.size());
      send_error("File path too long");
      return false;
    }
    source->path = r.file_path;
    source->device = source->path;
    std::unique_ptr<BlockFile> file = BlockFile::open(source->path, false);
    source->size = file ? file->size() : 0;
    log_msg(LOG_INFO, "imaging: %s (%s)%s", source->path.c_str(), format_size(source->size).c_str(),
            " [file]");
    if (source->size == 0) send_error("File not found or empty.");
  }
  return source->size != 0;
}

// What one run reads: where, how much, in how many parts.
struct Plan {
  uint64_t offset = 0;
  uint64_t length = 0;
  uint64_t part_size = 0;
  int32_t parts = 0;
};

bool make_plan(const ImagingRequest& r, uint64_t size, Plan* plan) {
  if (r.start_offset >= size) {
    send_error("Start offset " + std::to_string(r.start_offset) +
               " is at or past the end of the source (" + std::to_string(size) + " bytes)");
    return false;
  }
  plan->offset = r.start_offset;
  plan->length = size - r.start_offset;
  if (r.size_limit != 0 && plan->length > r.size_limit) plan->length = r.size_limit;
  plan->part_size = static_cast<uint64_t>(r.part_size_mb) * kMiB;
  uint64_t parts = plan->length / plan->part_size + (plan->length % plan->part_size != 0);
  // Part numbers travel as 32-bit numbers.
  if (static_cast<uint64_t>(r.start_part_number) + parts - 1 > INT32_MAX) {
    send_error("Too many parts: use a larger part_size_mb");
    return false;
  }
  plan->parts = static_cast<int32_t>(parts);
  return true;
}

void add_unreadable(cJSON* d, const DiskReader& reader, bool with_ranges) {
  if (reader.unreadable_bytes() == 0) return;
  json_add_number(d, "unreadable_bytes", static_cast<double>(reader.unreadable_bytes()));
  if (!with_ranges) return;
  Json ranges = json_array();
  for (const ByteRange& range : reader.unreadable_ranges()) {
    Json pair = json_array();
    json_append(pair.get(), json_number(static_cast<double>(range.offset)));
    json_append(pair.get(), json_number(static_cast<double>(range.length)));
    json_append(ranges.get(), std::move(pair));
  }
  json_add_item(d, "unreadable_ranges", std::move(ranges));
}

// Logs the unreadable ranges a part met. A failing card may lose every
// other sector, and a line each would fill the customer's disk with log: a
// job logs as many ranges as its report keeps, then says once that it stops.
// `logged` counts the job's ranges so far.
void log_unreadable(const std::vector<ByteRange>& found, size_t* logged) {
  for (const ByteRange& range : found) {
    size_t n = (*logged)++;
    if (n < kMaxUnreadableRanges) {
      log_msg(LOG_WARN, "imaging: unreadable %llu bytes at offset %llu",
              static_cast<unsigned long long>(range.length),
              static_cast<unsigned long long>(range.offset));
    } else if (n == kMaxUnreadableRanges) {
      log_msg(LOG_WARN, "imaging: more unreadable ranges follow, counted but not logged");
    }
  }
}

// Fills `buffer` with `length` bytes from `offset`, window by window. The
// encoder's blocks that lie in a hole of the source are not read (an empty
// sparse image reads as fast as the encoder skips it); *zero_blocks says
// which. Returns false (with the error event sent) when the reader gives up.
bool read_part(DiskReader& reader, uint64_t offset, uint8_t* buffer, uint64_t length,
               std::vector<bool>* zero_blocks, size_t* ranges_logged) {
  std::vector<ByteRange> found;
  ReadOutcome outcome = reader.read_range_skipping_holes(offset, buffer, length, kHximgBlockSize,
                                                         zero_blocks, &found);
  log_unreadable(found, ranges_logged);
  if (outcome != ReadOutcome::kOk) {
    log_msg(LOG_ERROR, "imaging: read error at offset %llu",
            static_cast<unsigned long long>(reader.failed_offset()));
    send_error("Read error at offset " + std::to_string(reader.failed_offset()));
    return false;
  }
  return true;
}

using Clock = std::chrono::steady_clock;

uint64_t elapsed_ms(Clock::time_point start) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// The reading loop. Returns false when the run must not report completion
// (a read error); a cancel or upload error is seen by the caller itself.
bool read_parts(ImagingJob& job, const Plan& plan, DiskReader& reader, PartQueue& raw) {
  const int32_t first = job.request.start_part_number;
  const Clock::time_point start = Clock::now();
  uint64_t total_read = 0;
  size_t ranges_logged = 0;
  for (int32_t i = 0; i < plan.parts; i++) {
    const int32_t number = first + i;
    if (job.cancel.load()) {
      send_cancelled(job);
      return true;
    }
    if (std::optional<std::string> error = upload_error(job)) {
      log_msg(LOG_ERROR, "imaging: upload error: %s", error->c_str());
      send_error(*error);
      return true;
    }
    if (job.failed.load()) return false;  // the failing stage has reported
    Json reading = progress_payload("reading", number, job.last_part);
    json_add_number(reading.get(), "progress", percent(i, plan.parts));
    send_event("imaging_progress", std::move(reading));

    const uint64_t length = std::min(plan.length - total_read, plan.part_size);
    if (length == 0) return true;
    PartBuffer bytes = g_fail_part_alloc.load() == number ? nullptr : part_buffer_alloc(length);
    if (!bytes) {
      // Going on would report an image with parts missing as complete.
      log_msg(LOG_ERROR, "imaging: malloc failed");
      send_error(kOutOfMemoryError);
      return false;
    }
    std::vector<bool> zero_blocks;
    if (!read_part(reader, plan.offset + total_read, bytes.get(), length, &zero_blocks,
                   &ranges_logged)) {
      return false;
    }
    total_read += length;

    uint64_t ms = elapsed_ms(start);
    uint64_t speed = ms == 0 ? 0 : static_cast<uint64_t>(total_read / (ms / 1000.0));
    int32_t uploaded = parts_uploaded(job);
    Json pipeline = progress_payload("pipeline", number, job.last_part);
    json_add_number(pipeline.get(), "parts_uploaded", uploaded);
    json_add_number(pipeline.get(), "progress", percent(uploaded > i ? uploaded : i, plan.parts));
    json_add_string(pipeline.get(), "speed", format_size(speed) + "/s");
    add_unreadable(pipeline.get(), reader, false);
    send_event("imaging_progress", std::move(pipeline));

    auto part = std::make_unique<ImagingPart>();
    part->bytes = std::move(bytes);
    part->length = length;
    part->part_number = number;
    part->total_parts = job.last_part;
    part->uncompressed_size = length;
    part->zero_blocks = std::move(zero_blocks);
    raw.push(std::move(part));
  }
  return true;
}

void report_completion(ImagingJob& job, const Plan& plan, const DiskReader& reader,
                       Clock::time_point start) {
  double seconds = elapsed_ms(start) / 1000.0;
  uint64_t average = seconds > 0 ? static_cast<uint64_t>(plan.length / seconds) : plan.length;
  std::string speed = format_size(average) + "/s";
  int32_t uploaded = parts_uploaded(job);
  log_msg(LOG_INFO, "imaging: complete! %d parts in %.0fs (%s)", uploaded, seconds, speed.c_str());

  Json progress = progress_payload("pipeline", job.last_part, job.last_part);
  json_add_number(progress.get(), "parts_uploaded", uploaded);
  json_add_number(progress.get(), "progress", 100);
  json_add_string(progress.get(), "speed", speed);
  add_unreadable(progress.get(), reader, false);
  send_event("imaging_progress", std::move(progress));

  Json complete = json_object();
  json_add_string(complete.get(), "batch_id", job.batch_id);
  json_add_number(complete.get(), "total_parts", plan.parts);
  add_unreadable(complete.get(), reader, true);
  send_event("job_complete", std::move(complete));
}

void run_pipeline(ImagingJob& job) {
  const ImagingRequest& r = job.request;
  Source source;
  Plan plan;
  if (!find_source(r, &source) || !make_plan(r, source.size, &plan)) return;
  job.batch_id = next_batch_id();
  job.last_part = r.start_part_number + plan.parts - 1;
  log_msg(LOG_INFO, "imaging: %s in %d parts (part_size=%dMB, HXIMG)",
          format_size(plan.length).c_str(), plan.parts, r.part_size_mb);

  std::unique_ptr<PartQueue> raw = PartQueue::create(kRawQueueCapacity);
  std::unique_ptr<PartQueue> encoded = PartQueue::create(kEncodedQueueCapacity);
  if (!raw || !encoded) {
    log_msg(LOG_ERROR, "imaging: malloc failed");
    send_error(kOutOfMemoryError);
    return;
  }
  // A stage that fails drains its input to the end marker and passes the
  // marker on, so the stages before and after it still end.
  StageThread encoder, uploader;
  bool stages = encoder.start(
      "imaging encoder thread", "imaging encoder",
      [&] { hximg_encode_stage(raw.get(), encoded.get(), job.cancel); },
      [&](const std::string& error) {
        fail_job(job, error);
        drain(*raw);
        encoded->push(nullptr);
      });
  stages = stages && uploader.start(
                         "imaging uploader thread", "imaging uploader",
                         [&] { uploader_stage(job, *encoded); },
                         [&](const std::string& error) {
                           fail_job(job, error);
                           drain(*encoded);
                         });
  if (!stages) fail_job(job, kThreadStartError);

  bool complete = false;
  std::unique_ptr<DiskReader> reader;
  Clock::time_point start = Clock::now();
  if (stages) {
    run_guarded(
        "imaging reader",
        [&] {
          reader = DiskReader::open(source.device);
          start = Clock::now();
          if (!reader) {
            send_error("Cannot open disk for reading");
          } else {
            complete = read_parts(job, plan, *reader, *raw);
          }
        },
        [&](const std::string& error) { fail_job(job, error); });
  }
  raw->push(nullptr);
  if (reader) log_msg(LOG_INFO, "imaging: all parts read, waiting for pipeline...");
  encoder.wait("encoder");
  uploader.wait("uploader");
  part_buffer_release_idle();
  // A cancel that came after the last part was read stopped the uploads
  // without the reader seeing it: it is reported here.
  if (job.cancel.load()) {
    send_cancelled(job);
  } else if (complete && !job.failed.load() && !upload_error(job)) {
    report_completion(job, plan, *reader, start);
  }
}

void run_job(ImagingJob* job) {
  if (job->previous) {
    if (job->previous->thread.joinable()) job->previous->thread.join();
    job->previous.reset();
  }
  if (job->cancel.load()) {
    send_cancelled(*job);  // cancelled while it waited: nothing of it has run
  } else {
    run_guarded(
        "imaging", [job] { run_pipeline(*job); }, send_error);
  }
  job->finished = true;
}

// "disk_name" with only the characters a file name on the server may hold.
std::string sanitize_name(const std::string& name) {
  std::string out;
  for (char c : name) {
    if (out.size() >= kNameCapacity - 1) break;
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '-' || c == '.' || c == '_';
    if (keep)
      out += c;
    else if (c == ' ')
      out += '_';
  }
  return out;
}

// A number member's value when it is present: nullopt when absent, and
// an error when present but negative or not finite.
bool read_amount(const cJSON* data, const char* name, double scale, uint64_t* out,
                 std::string* error) {
  const cJSON* item = json_get(data, name);
  if (!json_is_number(item)) return true;
  double value = json_number_value(item);
  if (!std::isfinite(value) || value < 0 || value * scale >= 18446744073709551616.0) {
    *error = std::string("Invalid ") + name + ": must be a number of 0 or more";
    return false;
  }
  *out = static_cast<uint64_t>(value * scale);
  return true;
}

}  // namespace

std::string imaging_upload_name(const cJSON* data, int32_t disk_id, const std::string& file_path) {
  std::string name = sanitize_name(json_get_string(data, "disk_name"));
  if (!name.empty()) return name;
  if (file_path.empty()) return "Disk_" + std::to_string(disk_id);
  size_t cut = file_path.rfind('\\');
  if (cut == std::string::npos) cut = file_path.rfind('/');
  std::string base = cut == std::string::npos ? file_path : file_path.substr(cut + 1);
  return text_cut(base, kNameCapacity);
}

std::optional<ImagingRequest> imaging_parse_request(const cJSON* data,
                                                    const std::string& default_base_url,
                                                    std::string* error) {
  ImagingRequest r;
  r.disk_id = json_get_int32(data, "disk_id", -1);
  r.file_path = json_get_string(data, "file_path");
  r.token = json_get_string(data, "token");
  r.existing_disk_id = json_get_string(data, "existing_disk_id");
  r.base_url = request_base_url(data, default_base_url);

  // Absent means the default; present but not a number counts as 0.
  const cJSON* part_size = json_get(data, "part_size_mb");
  double mb = part_size ? json_number_value(part_size, 0) : kDefaultPartSizeMb;
  if (!(mb >= 1 && mb < kMaxPartSizeMb + 1)) {
    *error = "Invalid part_size_mb: must be 1 to 4095";
    return std::nullopt;
  }
  r.part_size_mb = static_cast<int32_t>(mb);
  r.start_part_number = json_get_int32(data, "start_part_number", 1);
  if (r.start_part_number < 1) {
    *error = "Invalid start_part_number: must be 1 or more";
    return std::nullopt;
  }
  if (!read_amount(data, "start_offset_gb", kGiB, &r.start_offset, error) ||
      !read_amount(data, "image_size_gb", kGiB, &r.size_limit, error)) {
    return std::nullopt;
  }
  r.upload_name = imaging_upload_name(data, r.disk_id, r.file_path);
  return r;
}

namespace {

// "cancel_job".
void on_cancel(const cJSON*) {
  log_msg(LOG_INFO, "imaging: cancel requested");
  std::lock_guard<std::mutex> lock(g_jobs_mu);
  if (g_job) g_job->cancel = true;
}

// "start_imaging" and "upload_local_file".
void on_start(const cJSON* data) {
  std::lock_guard<std::mutex> lock(g_jobs_mu);
  if (g_job && !g_job->finished && !g_job->cancel) {
    log_msg(LOG_INFO, "imaging: job already running, re-sending progress to browser");
    send_reconnected_progress();
    return;
  }
  std::string error;
  std::optional<ImagingRequest> request = imaging_parse_request(data, fallback_base_url(), &error);
  if (!request) {
    log_msg(LOG_ERROR, "imaging: %s", error.c_str());
    send_error(error);
    return;
  }
  auto job = std::make_shared<ImagingJob>();
  job->request = std::move(*request);
  if (g_job && !g_job->finished) {
    job->previous = g_job;  // cancelled and still winding down: the new job waits for it
  } else if (g_job && g_job->thread.joinable()) {
    g_job->thread.join();
  }
  // Not started: the job never existed, and a job still winding down stays
  // the one to wait for.
  if (!thread_start_joinable(
          &job->thread, "imaging job", [raw = job.get()] { run_job(raw); }, send_error))
    return;
  g_job = job;
  log_msg(LOG_INFO, "imaging: job started");
}

}  // namespace

void imaging_register_handlers(ServerBaseUrlFn base_url) {
  g_base_url = base_url;
  register_handler("start_imaging", on_start);
  register_handler("upload_local_file", on_start);
  register_handler("cancel_job", on_cancel);
}

void imaging_shutdown() {
  std::lock_guard<std::mutex> lock(g_jobs_mu);
  if (!g_job) return;
  g_job->cancel = true;
  // A cancelled job ends at its next part or chunk. One stuck in a network
  // time-out is left to the process exit rather than holding it up.
  for (int i = 0; i < kShutdownPolls && !g_job->finished; i++) sleep_ms(50);
  if (!g_job->finished) {
    log_msg(LOG_WARN, "imaging: job still running at shutdown");
    return;  // g_job keeps the record alive for the thread
  }
  if (g_job->thread.joinable()) g_job->thread.join();
  g_job.reset();
}

void imaging_testing_set_device_roots(const DeviceRoots& roots) {
  std::lock_guard<std::mutex> lock(g_roots_mu);
  g_roots = roots;
}

void imaging_testing_fail_part_alloc(int32_t part_number) { g_fail_part_alloc = part_number; }

bool imaging_testing_idle() {
  std::lock_guard<std::mutex> lock(g_jobs_mu);
  return !g_job || g_job->finished;
}

}  // namespace halvex
