#include "server/cli_jobs.h"

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <thread>

#include "core/json.h"
#include "server/admin_client.h"
#include "server/app.h"
#include "server/hub.h"
#include "server/net.h"
#include "server/term_text.h"
#include "server/web.h"

namespace halvex::server {
namespace {

constexpr int kCallSeconds = 60;
// How long an image may take to be finished after its job completed.
constexpr int kFinishSeconds = 600;
constexpr int kDefaultPartSizeMb = 500;
// How long a job may stay silent after its machine's link ended before the
// command gives it up: the agent may come back and finish.
constexpr int kOfflineGraceSeconds = 30;
constexpr const char* kLastSeq = "9223372036854775807";  // an "after" that lists no event, only last_seq

// Options that take a value: ours and those of the other commands, so that
// the command word is found wherever the options stand.
constexpr const char* kValueOptions[] = {
    "--data",   "--disk",      "--file",     "--path",  "--part-size-mb", "--start-part", "--start-offset-gb",
    "--chunk-size", "--config", "--base-url", "--timeout", "--host",      "--listen",       "--user",
    "--after",  "--folder",    "--installer", "--version", "--videos",    "--usb-vid",      "--probe-hex",
    "--offline-grace"};

struct Options {
  std::string command, machine;
  std::vector<std::string> positional;
  std::string data = "recovery-data";
  std::optional<std::string> disk, file, path, part_size_mb, start_part, start_offset_gb, chunk_size, config;
  std::string base_url;
  std::optional<std::string> timeout_text;
  int timeout = 0;  // seconds without any event before giving up; 0: never
  std::optional<std::string> grace_text;
  int offline_grace = kOfflineGraceSeconds;
};

struct Api {
  AdminApi admin;
  std::string origin;  // what the agent is told to upload to
};

int fail(const std::string& text) {
  std::fprintf(stderr, "recovery-server: %s\n", terminal_safe(text).c_str());
  return 1;
}

int usage(const std::string& text) {
  std::fprintf(stderr,
               "recovery-server: %s\n"
               "usage: recovery-server image MACHINE (--disk N | --file PATH) [--part-size-mb M]\n"
               "           [--start-part P --start-offset-gb G] [--base-url URL] [--timeout S] [--data DIR]\n"
               "       recovery-server scan MACHINE (--disk N | --path P) [--chunk-size B] [--config JSON]\n"
               "           [--base-url URL] [--timeout S] [--data DIR]\n",
               text.c_str());
  return 2;
}

bool takes_value(const std::string& arg) {
  for (const char* o : kValueOptions)
    if (arg == o) return true;
  return false;
}

bool set_option(Options* o, const std::string& name, const std::string& value) {
  std::optional<std::string>* slot = name == "--disk"              ? &o->disk
                                     : name == "--file"            ? &o->file
                                     : name == "--path"            ? &o->path
                                     : name == "--part-size-mb"    ? &o->part_size_mb
                                     : name == "--start-part"      ? &o->start_part
                                     : name == "--start-offset-gb" ? &o->start_offset_gb
                                     : name == "--chunk-size"      ? &o->chunk_size
                                     : name == "--config"          ? &o->config
                                                                   : nullptr;
  if (slot) {
    *slot = value;
  } else if (name == "--data") {
    o->data = value;
  } else if (name == "--base-url") {
    o->base_url = value;
  } else if (name == "--timeout") {
    o->timeout_text = value;
  } else if (name == "--offline-grace") {
    o->grace_text = value;
  } else {
    return false;
  }
  return true;
}

std::optional<Options> parse(const std::vector<std::string>& args, std::string* error) {
  Options o;
  for (size_t i = 0; i < args.size(); i++) {
    const std::string& a = args[i];
    if (takes_value(a)) {
      if (i + 1 >= args.size()) {
        *error = a + ": needs a value";
        return std::nullopt;
      }
      if (!set_option(&o, a, args[++i])) {
        *error = a + ": not an option of " + (o.command.empty() ? "this command" : o.command);
        return std::nullopt;
      }
    } else if (a.size() > 1 && a[0] == '-') {
      *error = a + ": unknown option";
      return std::nullopt;
    } else if (o.command.empty()) {
      o.command = a;
    } else {
      o.positional.push_back(a);
    }
  }
  while (!o.base_url.empty() && o.base_url.back() == '/') o.base_url.pop_back();
  return o;
}


std::optional<Api> api_for(const Options& o, std::string* error) {
  std::optional<AdminApi> admin = admin_api_open(o.data, error);
  if (!admin) return std::nullopt;
  Api api;
  api.admin = std::move(*admin);
  const std::string& addr = api.admin.address;
  // The server's certificate names localhost, so that is the name an agent
  // on this machine checks it against.
  std::string url_host = api.admin.loopback ? "localhost" : addr.find(':') != std::string::npos ? "[" + addr + "]" : addr;
  api.origin = o.base_url.empty() ? "https://" + url_host + ":" + std::to_string(api.admin.port) : o.base_url;
  return api;
}


std::optional<long long> whole_number(const std::optional<std::string>& text, long long min, long long max) {
  if (!text || text->empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  long long v = std::strtoll(text->c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || v < min || v > max) return std::nullopt;
  return v;
}

// What an event means for the job being followed: nullopt to go on, else
// the exit status.
using Judge = std::function<std::optional<int>(const std::string& e, const cJSON* d)>;

// Sends the event, then hands the machine's later events to `judge` until
// it decides.
int send_and_follow(const Api& api, const Options& o, const std::string& event, Json d, const Judge& judge) {
  std::string error, machine = url_encode(o.machine);
  Json last = admin_call(api.admin, "GET", "/api/events?machine_id=" + machine + "&after=" + kLastSeq, nullptr, kCallSeconds,
                   &error);
  if (!last) return fail(o.command + ": " + error);
  long long after = static_cast<long long>(json_get_number(last.get(), "last_seq"));
  Json body = json_object();
  json_add_string(body.get(), "machine_id", o.machine);
  json_add_string(body.get(), "e", event);
  json_add_item(body.get(), "d", std::move(d));
  if (!admin_call(api.admin, "POST", "/api/send", body.get(), kCallSeconds, &error)) return fail(o.command + ": " + error);
  std::fprintf(stderr, "%s: sent %s to %s\n", o.command.c_str(), event.c_str(), o.machine.c_str());

  using Steady = std::chrono::steady_clock;
  auto quiet_since = Steady::now();
  // Set when the machine's link ended during the job: unless the job shows
  // life again by then, the command gives up at this time.
  bool offline = false;
  Steady::time_point give_up{};
  for (;;) {
    int wait = kMaxLongPollSeconds;
    if (offline) {
      auto left = std::chrono::ceil<std::chrono::seconds>(give_up - Steady::now()).count();
      wait = static_cast<int>(std::clamp<long long>(left, 0, kMaxLongPollSeconds));
    }
    std::string target = "/api/events?machine_id=" + machine + "&after=" + std::to_string(after) +
                         "&wait=" + std::to_string(wait);
    Json r = admin_call(api.admin, "GET", target, nullptr, kMaxLongPollSeconds + 15, &error);
    if (!r) return fail(o.command + ": " + error);
    const cJSON* events = json_get(r.get(), "events");
    for (int i = 0; i < json_array_size(events); i++) {
      const cJSON* e = json_array_item(events, i);
      after = std::max(after, static_cast<long long>(json_get_number(e, "seq")));
      std::string name = json_get_string(e, "e");
      if (name == kMachineOfflineEvent) {
        if (!offline) {
          offline = true;
          std::fprintf(stderr, "%s: %s went offline; waiting up to %d s for it to come back and finish\n",
                       o.command.c_str(), o.machine.c_str(), o.offline_grace);
          give_up = Steady::now() + std::chrono::seconds(o.offline_grace);
        }
        continue;
      }
      quiet_since = Steady::now();
      offline = false;  // the job (or the machine, back again) carries on
      if (std::optional<int> rc = judge(name, json_get(e, "d"))) return *rc;
    }
    if (offline && Steady::now() >= give_up)
      return fail(o.command + ": machine " + o.machine + " went offline during the job");
    if (o.timeout > 0 && Steady::now() - quiet_since > std::chrono::seconds(o.timeout))
      return fail(o.command + ": no event from " + o.machine + " for " + std::to_string(o.timeout) + " s");
  }
}

// ---- image ----

std::optional<int> judge_image(const Api& api, const std::string& image_id, const std::string& e, const cJSON* d) {
  if (e == "job_error") return fail("image: " + json_get_string(d, "error", "job failed"));
  if (e == "imaging_progress") {
    if (json_get_bool(d, "cancelled")) return fail("image: cancelled");
    std::string status = json_get_string(d, "status");
    if (!status.empty()) return fail("image: another imaging job is running on the machine (" + status + ")");
    std::fprintf(stderr, "image: part %d/%d %s %.0f%%%s%s\n", json_get_int32(d, "part"),
                 json_get_int32(d, "total_parts"), terminal_safe(json_get_string(d, "phase")).c_str(),
                 json_get_number(d, "progress"), json_has(d, "speed") ? " " : "",
                 terminal_safe(json_get_string(d, "speed")).c_str());
    return std::nullopt;
  }
  if (e != "job_complete") return std::nullopt;
  std::string error;
  Json r;
  const cJSON* image = nullptr;
  std::string status;
  // The server decodes and hashes the last parts after it took them in.
  for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kFinishSeconds);;) {
    r = admin_call(api.admin, "GET", "/api/images/" + image_id, nullptr, kCallSeconds, &error);
    if (!r) return fail("image: " + error);
    image = json_get(r.get(), "image");
    status = json_get_string(image, "status");
    if (status != "receiving" || !json_get_bool(image, "finishing") || std::chrono::steady_clock::now() > until)
      break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (status != "complete") {
    std::string why = json_get_string(image, "error");
    return fail("image " + image_id + ": the job completed but the image is " + status +
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
Json unfinished_image(const Api& api, const Options& o, const std::string& source, std::string* error) {
  Json r = admin_call(api.admin, "GET", "/api/images?machine_id=" + url_encode(o.machine) + "&source=" + url_encode(source),
                nullptr, kCallSeconds, error);
  if (!r) return nullptr;
  const cJSON* images = json_get(r.get(), "images");
  for (int i = 0; i < json_array_size(images); i++) {
    const cJSON* image = json_array_item(images, i);
    if (json_get_string(image, "status") == "receiving") return json_duplicate(image);
  }
  *error = "no unfinished image of " + o.machine + " from " + source + " to resume";
  return nullptr;
}

int cmd_image(const Options& o, const Api& api) {
  if (o.disk.has_value() == o.file.has_value() || o.path || o.chunk_size || o.config)
    return usage("image: expected `image MACHINE (--disk N | --file PATH)`");
  std::optional<long long> disk;
  if (o.disk) disk = whole_number(o.disk, 0, INT32_MAX);
  if (o.disk && !disk) return usage("--disk: not a disk number");
  if (o.file && o.file->empty()) return usage("--file: empty path");
  std::optional<long long> part_mb =
      o.part_size_mb ? whole_number(o.part_size_mb, 1, 4095) : std::optional<long long>(kDefaultPartSizeMb);
  if (!part_mb) return usage("--part-size-mb: not a whole number from 1 to 4095");
  if (o.start_part.has_value() != o.start_offset_gb.has_value())
    return usage("--start-part and --start-offset-gb go together");
  std::optional<long long> start_part = o.start_part ? whole_number(o.start_part, 1, INT32_MAX) : std::nullopt;
  if (o.start_part && !start_part) return usage("--start-part: not a part number");
  char* end = nullptr;
  double start_gb = o.start_offset_gb ? std::strtod(o.start_offset_gb->c_str(), &end) : 0;
  if (o.start_offset_gb && (*end != '\0' || !(start_gb >= 0) || !std::isfinite(start_gb)))
    return usage("--start-offset-gb: not a number of GiB");

  std::string source = o.disk ? "disk:" + std::to_string(*disk) : "file:" + *o.file;
  std::string error;
  Json image;
  if (start_part) {
    image = unfinished_image(api, o, source, &error);
    if (!image) return fail("image: " + error);
    long long held_mb = static_cast<long long>(json_get_number(image.get(), "part_size")) >> 20;
    if (o.part_size_mb && held_mb != *part_mb)
      return usage("--part-size-mb: the image being resumed has parts of " + std::to_string(held_mb) + " MiB");
    part_mb = held_mb;
  } else {
    Json body = json_object();
    json_add_string(body.get(), "machine_id", o.machine);
    json_add_string(body.get(), "source", source);
    json_add_number(body.get(), "part_size_mb", static_cast<double>(*part_mb));
    Json r = admin_call(api.admin, "POST", "/api/images", body.get(), kCallSeconds, &error);
    if (!r) return fail("image: " + error);
    image = json_duplicate(json_get(r.get(), "image"));
  }
  std::string image_id = json_get_string(image.get(), "disk_id");
  std::fprintf(stderr, "image: image %s of %s\n", image_id.c_str(), source.c_str());

  Json d = json_object();
  if (disk) json_add_number(d.get(), "disk_id", static_cast<double>(disk.value_or(0)));
  if (o.file) json_add_string(d.get(), "file_path", *o.file);
  json_add_string(d.get(), "token", json_get_string(image.get(), "token"));
  json_add_number(d.get(), "part_size_mb", static_cast<double>(*part_mb));
  json_add_string(d.get(), "server_url", api.origin);
  if (start_part) {
    json_add_number(d.get(), "start_part_number", static_cast<double>(*start_part));
    json_add_number(d.get(), "start_offset_gb", start_gb);
    json_add_string(d.get(), "existing_disk_id", image_id);
  }
  return send_and_follow(api, o, disk ? "start_imaging" : "upload_local_file", std::move(d),
                         [&api, image_id](const std::string& e, const cJSON* d) {
                           return judge_image(api, image_id, e, d);
                         });
}

// ---- scan ----

struct ScanFollow {
  std::string scan_id, id;
  int64_t processed = 0;  // chunks the agent reported
};

std::optional<int> judge_scan(const Api& api, ScanFollow* s, const std::string& e, const cJSON* d) {
  std::string scan_id = json_get_string(d, "scan_id");
  if (e == "remote_scan_error" && (scan_id == s->scan_id || scan_id.empty()))
    return fail("scan: " + json_get_string(d, "error", "scan failed"));
  if (scan_id != s->scan_id) return std::nullopt;
  if (e == "stream_chunk_progress") {
    s->processed = static_cast<int64_t>(json_get_number(d, "chunk_index"));
    std::fprintf(stderr, "scan: %lld chunks, offset %.0f, %.0f bytes to scan\n", static_cast<long long>(s->processed),
                 json_get_number(d, "offset"), json_get_number(d, "total_size"));
    return std::nullopt;
  }
  if (e == "directory_tree") {
    const cJSON* tree = json_get(d, "directory_tree");
    std::fprintf(stderr, "scan: %s directory tree, %d entries\n", terminal_safe(json_get_string(tree, "fs_type")).c_str(),
                 json_array_size(json_get(tree, "entries")));
    return std::nullopt;
  }
  if (e != "stream_chunk_complete") return std::nullopt;
  std::string error;
  Json r = admin_call(api.admin, "GET", "/api/scans/" + s->id, nullptr, kCallSeconds, &error);
  if (!r) return fail("scan: " + error);
  const cJSON* scan = json_get(r.get(), "scan");
  double stored = json_get_number(scan, "chunks");
  if (stored < static_cast<double>(s->processed))
    std::fprintf(stderr, "scan: %lld chunks scanned, %.0f stored: the agent could not upload the others\n",
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

int cmd_scan(const Options& o, const Api& api) {
  if (o.disk.has_value() == o.path.has_value() || o.file || o.part_size_mb || o.start_part || o.start_offset_gb)
    return usage("scan: expected `scan MACHINE (--disk N | --path P)`");
  std::optional<long long> disk;
  if (o.disk) disk = whole_number(o.disk, 0, INT32_MAX);
  if (o.disk && !disk) return usage("--disk: not a disk number");
  if (o.path && o.path->empty()) return usage("--path: empty path");
  std::optional<long long> chunk = o.chunk_size ? whole_number(o.chunk_size, 0, INT32_MAX) : std::nullopt;
  if (o.chunk_size && !chunk) return usage("--chunk-size: not a number of bytes");
  Json config = o.config ? json_parse(*o.config) : nullptr;
  if (o.config && !json_is_object(config.get())) return usage("--config: not a JSON object");

  std::string source = o.disk ? "disk:" + std::to_string(*disk) : "path:" + *o.path;
  Json body = json_object();
  json_add_string(body.get(), "machine_id", o.machine);
  json_add_string(body.get(), "source", source);
  std::string error;
  Json r = admin_call(api.admin, "POST", "/api/scans", body.get(), kCallSeconds, &error);
  if (!r) return fail("scan: " + error);
  const cJSON* scan = json_get(r.get(), "scan");
  ScanFollow follow;
  follow.scan_id = json_get_string(scan, "scan_id");
  follow.id = std::to_string(static_cast<long long>(json_get_number(scan, "id")));
  std::fprintf(stderr, "scan: %s of %s\n", follow.scan_id.c_str(), source.c_str());

  Json d = json_object();
  json_add_string(d.get(), "scan_id", follow.scan_id);
  if (disk) json_add_number(d.get(), "disk_id", static_cast<double>(disk.value_or(0)));
  if (o.path) json_add_string(d.get(), "disk_path", *o.path);
  if (chunk) json_add_number(d.get(), "chunk_size", static_cast<double>(*chunk));
  json_add_string(d.get(), "upload_token", json_get_string(scan, "token"));
  json_add_string(d.get(), "server_url", api.origin);
  if (config) json_add_item(d.get(), "scan_config", std::move(config));
  return send_and_follow(api, o, "stream_disk_chunks", std::move(d),
                         [&api, &follow](const std::string& e, const cJSON* d) {
                           return judge_scan(api, &follow, e, d);
                         });
}

}  // namespace

bool cli_is_job_command(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); i++) {
    if (takes_value(args[i])) {
      i++;
      continue;
    }
    if (args[i].size() > 1 && args[i][0] == '-') continue;
    return args[i] == "image" || args[i] == "scan";
  }
  return false;
}

int cli_job_main(const std::vector<std::string>& args) {
  std::string error;
  std::optional<Options> o = parse(args, &error);
  if (!o) return usage(error);
  if (o->positional.size() != 1) return usage(o->command + ": expected one MACHINE");
  o->machine = o->positional[0];
  if (o->timeout_text) {
    std::optional<long long> t = whole_number(o->timeout_text, 1, 86400 * 365);
    if (!t) return usage("--timeout: not a number of seconds");
    o->timeout = static_cast<int>(*t);
  }
  if (o->grace_text) {
    std::optional<long long> g = whole_number(o->grace_text, 1, 86400);
    if (!g) return usage("--offline-grace: not a number of seconds");
    o->offline_grace = static_cast<int>(*g);
  }
  if (!valid_machine_id(o->machine)) return usage(o->command + ": " + o->machine + ": not a machine id");
  std::optional<Api> api = api_for(*o, &error);
  if (!api) return fail(o->command + ": " + error);
  return o->command == "image" ? cmd_image(*o, *api) : cmd_scan(*o, *api);
}

}  // namespace halvex::server
