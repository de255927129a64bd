#include "server/cli/jobs.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <optional>
#include <thread>

#include "core/json.h"
#include "server/cli/admin_client.h"
#include "server/cli/follow.h"
#include "server/cli/term_text.h"
#include "server/http/web.h"

namespace halvex::server {
namespace {

constexpr int kCallSeconds = 60;
// How long an image may take to be finished after its job completed.
constexpr int kFinishSeconds = 600;
constexpr int kDefaultPartSizeMb = 500;

constexpr const char* kUsage =
    "usage: recovery-server image MACHINE (--disk N | --file PATH) [--part-size-mb M]\n"
    "           [--start-part P --start-offset-gb G] [--base-url URL] [--timeout S] "
    "[--offline-grace S]\n"
    "           [--data DIR]\n"
    "       recovery-server scan MACHINE (--disk N | --path P) [--chunk-size B] [--config JSON]\n"
    "           [--base-url URL] [--timeout S] [--offline-grace S] [--data DIR]\n";

constexpr Flag kImageFlags[] = {
    {"--disk", FlagKind::kValue},
    {"--file", FlagKind::kValue},
    {"--part-size-mb", FlagKind::kValue},
    {"--start-part", FlagKind::kValue},
    {"--start-offset-gb", FlagKind::kValue},
    {"--base-url", FlagKind::kValue},
    {"--timeout", FlagKind::kValue},
    {"--offline-grace", FlagKind::kValue},
};

constexpr Flag kScanFlags[] = {
    {"--disk", FlagKind::kValue},          {"--path", FlagKind::kValue},
    {"--chunk-size", FlagKind::kValue},    {"--config", FlagKind::kValue},
    {"--base-url", FlagKind::kValue},      {"--timeout", FlagKind::kValue},
    {"--offline-grace", FlagKind::kValue},
};

int usage(const std::string& text) { return cli_usage(kUsage, text); }

// What every job needs: the admin API, where the agent uploads, and how
// its events are followed.
struct Job {
  AdminApi api;
  std::string origin;
  Follow follow;
};

// Reads what image and scan share: MACHINE, --timeout, --offline-grace,
// the admin API. Returns nullopt after printing why (*rc the exit status).
std::optional<Job> open_job(const Flags& f, int* rc) {
  const std::string& command = f.words[0];
  std::string error;
  if (f.words.size() != 2) {
    *rc = usage(command + ": expected one MACHINE");
    return std::nullopt;
  }
  Job job;
  job.follow.context = command;
  job.follow.machine = f.words[1];
  job.follow.announce = true;
  if (!follow_read_flags(f, &job.follow, &error)) {
    *rc = usage(error);
    return std::nullopt;
  }
  if (!valid_machine_id(job.follow.machine)) {
    *rc = usage(command + ": " + job.follow.machine + ": not a machine id");
    return std::nullopt;
  }
  std::optional<AdminApi> api = admin_api_open(f.data(), &error);
  if (!api) {
    *rc = cli_fail(command + ": " + error);
    return std::nullopt;
  }
  job.api = std::move(*api);
  job.origin = admin_agent_origin(job.api, f.value_or("--base-url", ""));
  return job;
}

// What a job reads: a disk of the machine (--disk N) or the one other
// source its command names (--file PATH, --path P).
struct Source {
  std::optional<long long> disk;
  std::optional<std::string> other;  // the value of the other option
  std::string name;  // "disk:N", or the other option without its dashes: "file:PATH"
};

// Reads --disk or `other` (exactly one). Returns nullopt after printing the
// usage error (*rc its status).
std::optional<Source> read_source(const Flags& f, const char* other, const std::string& expected,
                                  int* rc) {
  std::optional<std::string> disk_text = f.value("--disk");
  Source s;
  s.other = f.value(other);
  if (disk_text.has_value() == s.other.has_value()) {
    *rc = usage(expected);
    return std::nullopt;
  }
  if (disk_text) s.disk = flags_whole_number(*disk_text, 0, INT32_MAX);
  if (disk_text && !s.disk) {
    *rc = usage("--disk: not a disk number");
    return std::nullopt;
  }
  if (s.other && s.other->empty()) {
    *rc = usage(std::string(other) + ": empty path");
    return std::nullopt;
  }
  s.name = s.disk ? "disk:" + std::to_string(s.disk.value_or(0))
                  : std::string(other).substr(2) + ":" + *s.other;
  return s;
}

// ---- image ----

std::optional<int> judge_image(const Job& job, const std::string& image_id, const FollowEvent& ev) {
  const cJSON* d = ev.d;
  if (ev.name == "job_error")
    return cli_fail("image: " + json_get_string(d, "error", "job failed"));
  if (ev.name == "imaging_progress") {
    if (json_get_bool(d, "cancelled")) return cli_fail("image: cancelled");
    std::string status = json_get_string(d, "status");
    if (!status.empty())
      return cli_fail("image: another imaging job is running on the machine (" + status + ")");
    std::fprintf(stderr, "image: part %d/%d %s %.0f%%%s%s\n", json_get_int32(d, "part"),
                 json_get_int32(d, "total_parts"),
                 terminal_safe(json_get_string(d, "phase")).c_str(), json_get_number(d, "progress"),
                 json_has(d, "speed") ? " " : "",
                 terminal_safe(json_get_string(d, "speed")).c_str());
    return std::nullopt;
  }
  if (ev.name != "job_complete") return std::nullopt;
  std::string error;
  Json r;
  const cJSON* image = nullptr;
  std::string status;
  // The server decodes and hashes the last parts after it took them in.
  for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kFinishSeconds);;) {
    r = admin_call(job.api, "GET", "/api/images/" + image_id, nullptr, kCallSeconds, &error);
    if (!r) return cli_fail("image: " + error);
    image = json_get(r.get(), "image");
    status = json_get_string(image, "status");
    if (status != "receiving" || !json_get_bool(image, "finishing") ||
        std::chrono::steady_clock::now() > until)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (status != "complete") {
    std::string why = json_get_string(image, "error");
    return cli_fail("image " + image_id + ": the job completed but the image is " + status +
                    (why.empty() ? "" : ": " + why));
  }
  Json out = json_object();
  json_add_string(out.get(), "batch_id", json_get_string(d, "batch_id"));
  json_add_string(out.get(), "image", json_get_string(image, "path"));
  json_add_number(out.get(), "bytes", json_get_number(image, "bytes"));
  json_add_string(out.get(), "sha256", json_get_string(image, "sha256"));
  std::printf("%s\n", json_print(out.get()).c_str());
  std::fflush(stdout);
  return 0;
}

// The newest unfinished image of the machine and source, to resume.
Json unfinished_image(const Job& job, const std::string& source, std::string* error) {
  const std::string& machine = job.follow.machine;
  Json r =
      admin_call(job.api, "GET",
                 "/api/images?machine_id=" + url_encode(machine) + "&source=" + url_encode(source),
                 nullptr, kCallSeconds, error);
  if (!r) return nullptr;
  const cJSON* images = json_get(r.get(), "images");
  for (const cJSON* image = json_is_array(images) ? json_first(images) : nullptr; image != nullptr;
       image = json_next(image)) {
    if (json_get_string(image, "status") == "receiving") return json_duplicate(image);
  }
  *error = "no unfinished image of " + machine + " from " + source + " to resume";
  return nullptr;
}

int cmd_image(const Flags& f) {
  int rc = 0;
  std::optional<Job> job = open_job(f, &rc);
  if (!job) return rc;
  std::optional<Source> src =
      read_source(f, "--file", "image: expected `image MACHINE (--disk N | --file PATH)`", &rc);
  if (!src) return rc;
  const std::optional<long long>& disk = src->disk;
  const std::optional<std::string>& file = src->other;
  const std::string& source = src->name;
  std::optional<std::string> part_text = f.value("--part-size-mb"),
                             start_part_text = f.value("--start-part");
  std::optional<std::string> start_gb_text = f.value("--start-offset-gb");
  std::optional<long long> part_mb =
      part_text ? flags_whole_number(*part_text, 1, 4095) : kDefaultPartSizeMb;
  if (!part_mb) return usage("--part-size-mb: not a whole number from 1 to 4095");
  if (start_part_text.has_value() != start_gb_text.has_value())
    return usage("--start-part and --start-offset-gb go together");
  std::optional<long long> start_part =
      start_part_text ? flags_whole_number(*start_part_text, 1, INT32_MAX) : std::nullopt;
  if (start_part_text && !start_part) return usage("--start-part: not a part number");
  char* end = nullptr;
  double start_gb = start_gb_text ? std::strtod(start_gb_text->c_str(), &end) : 0;
  if (start_gb_text && (*end != '\0' || !(start_gb >= 0) || !std::isfinite(start_gb)))
    return usage("--start-offset-gb: not a number of GiB");

  std::string error;
  Json image;
  if (start_part) {
    image = unfinished_image(*job, source, &error);
    if (!image) return cli_fail("image: " + error);
    long long held_mb = static_cast<long long>(json_get_number(image.get(), "part_size")) >> 20;
    if (part_text && held_mb != *part_mb)
      return usage("--part-size-mb: the image being resumed has parts of " +
                   std::to_string(held_mb) + " MiB");
    part_mb = held_mb;
  } else {
    Json body = json_object();
    json_add_string(body.get(), "machine_id", job->follow.machine);
    json_add_string(body.get(), "source", source);
    json_add_number(body.get(), "part_size_mb", static_cast<double>(*part_mb));
    Json r = admin_call(job->api, "POST", "/api/images", body.get(), kCallSeconds, &error);
    if (!r) return cli_fail("image: " + error);
    image = json_duplicate(json_get(r.get(), "image"));
  }
  std::string image_id = json_get_string(image.get(), "disk_id");
  std::fprintf(stderr, "image: image %s of %s\n", image_id.c_str(), source.c_str());

  Json d = json_object();
  if (disk) json_add_number(d.get(), "disk_id", static_cast<double>(disk.value_or(0)));
  if (file) json_add_string(d.get(), "file_path", *file);
  json_add_string(d.get(), "token", json_get_string(image.get(), "token"));
  json_add_number(d.get(), "part_size_mb", static_cast<double>(*part_mb));
  json_add_string(d.get(), "server_url", job->origin);
  if (start_part) {
    json_add_number(d.get(), "start_part_number", static_cast<double>(*start_part));
    json_add_number(d.get(), "start_offset_gb", start_gb);
    json_add_string(d.get(), "existing_disk_id", image_id);
  }
  return follow_events(job->api, job->follow, disk ? "start_imaging" : "upload_local_file",
                       std::move(d),
                       [&](const FollowEvent& ev) { return judge_image(*job, image_id, ev); });
}

// ---- scan ----

struct ScanFollow {
  std::string scan_id, id;
  int64_t processed = 0;  // chunks the agent reported
};

std::optional<int> judge_scan(const Job& job, ScanFollow* s, const FollowEvent& ev) {
  const std::string& e = ev.name;
  const cJSON* d = ev.d;
  std::string scan_id = json_get_string(d, "scan_id");
  if (e == "remote_scan_error" && (scan_id == s->scan_id || scan_id.empty()))
    return cli_fail("scan: " + json_get_string(d, "error", "scan failed"));
  if (scan_id != s->scan_id) return std::nullopt;
  if (e == "stream_chunk_progress") {
    s->processed = static_cast<int64_t>(json_get_number(d, "chunk_index"));
    std::fprintf(stderr, "scan: %lld chunks, offset %.0f, %.0f bytes to scan\n",
                 static_cast<long long>(s->processed), json_get_number(d, "offset"),
                 json_get_number(d, "total_size"));
    return std::nullopt;
  }
  if (e == "directory_tree") {
    const cJSON* tree = json_get(d, "directory_tree");
    std::fprintf(stderr, "scan: %s directory tree, %d entries\n",
                 terminal_safe(json_get_string(tree, "fs_type")).c_str(),
                 json_array_size(json_get(tree, "entries")));
    return std::nullopt;
  }
  if (e != "stream_chunk_complete") return std::nullopt;
  std::string error;
  Json r = admin_call(job.api, "GET", "/api/scans/" + s->id, nullptr, kCallSeconds, &error);
  if (!r) return cli_fail("scan: " + error);
  const cJSON* scan = json_get(r.get(), "scan");
  double stored = json_get_number(scan, "chunks");
  if (stored < static_cast<double>(s->processed))
    std::fprintf(stderr,
                 "scan: %lld chunks scanned, %.0f stored: the agent could not upload the others\n",
                 static_cast<long long>(s->processed), stored);
  Json out = json_object();
  json_add_string(out.get(), "scan_id", s->scan_id);
  json_add_number(out.get(), "chunks", stored);
  json_add_item(out.get(), "hits", json_duplicate(json_get(scan, "hits")));
  json_add_number(out.get(), "tree_entries", json_get_number(scan, "tree_entries"));
  json_add_string(out.get(), "stored", json_get_string(scan, "stored"));
  std::printf("%s\n", json_print(out.get()).c_str());
  std::fflush(stdout);
  return 0;
}

int cmd_scan(const Flags& f) {
  int rc = 0;
  std::optional<Job> job = open_job(f, &rc);
  if (!job) return rc;
  std::optional<Source> src =
      read_source(f, "--path", "scan: expected `scan MACHINE (--disk N | --path P)`", &rc);
  if (!src) return rc;
  const std::optional<long long>& disk = src->disk;
  const std::optional<std::string>& path = src->other;
  std::optional<std::string> chunk_text = f.value("--chunk-size"),
                             config_text = f.value("--config");
  std::optional<long long> chunk =
      chunk_text ? flags_whole_number(*chunk_text, 0, INT32_MAX) : std::nullopt;
  if (chunk_text && !chunk) return usage("--chunk-size: not a number of bytes");
  Json config = config_text ? json_parse(*config_text) : nullptr;
  if (config_text && !json_is_object(config.get())) return usage("--config: not a JSON object");

  const std::string& source = src->name;
  Json body = json_object();
  json_add_string(body.get(), "machine_id", job->follow.machine);
  json_add_string(body.get(), "source", source);
  std::string error;
  Json r = admin_call(job->api, "POST", "/api/scans", body.get(), kCallSeconds, &error);
  if (!r) return cli_fail("scan: " + error);
  const cJSON* scan = json_get(r.get(), "scan");
  ScanFollow follow;
  follow.scan_id = json_get_string(scan, "scan_id");
  follow.id = std::to_string(static_cast<long long>(json_get_number(scan, "id")));
  std::fprintf(stderr, "scan: %s of %s\n", follow.scan_id.c_str(), source.c_str());

  Json d = json_object();
  json_add_string(d.get(), "scan_id", follow.scan_id);
  if (disk) json_add_number(d.get(), "disk_id", static_cast<double>(disk.value_or(0)));
  if (path) json_add_string(d.get(), "disk_path", *path);
  if (chunk) json_add_number(d.get(), "chunk_size", static_cast<double>(*chunk));
  json_add_string(d.get(), "upload_token", json_get_string(scan, "token"));
  json_add_string(d.get(), "server_url", job->origin);
  if (config) json_add_item(d.get(), "scan_config", std::move(config));
  return follow_events(job->api, job->follow, "stream_disk_chunks", std::move(d),
                       [&](const FollowEvent& ev) { return judge_scan(*job, &follow, ev); });
}

}  // namespace

const CliCommand kImageCommand{"image", kImageFlags, kUsage, cmd_image};
const CliCommand kScanCommand{"scan", kScanFlags, kUsage, cmd_scan};

}  // namespace halvex::server
