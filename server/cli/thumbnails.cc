#include "server/cli/thumbnails.h"

#include <cstdio>
#include <optional>

#include "core/json.h"
#include "server/cli/admin_client.h"
#include "server/cli/follow.h"
#include "server/http/upload_form.h"
#include "server/http/web.h"
#include "server/uploads/scan_videos.h"

namespace halvex::server {
namespace {

constexpr int kCallSeconds = 60;

constexpr const char* kUsage =
    "usage: recovery-server thumbnails MACHINE --path P (--videos JSON | --scan N) [--base-url "
    "URL]\n"
    "           [--timeout S] [--offline-grace S] [--data DIR]\n";

constexpr Flag kFlags[] = {
    {"--path", FlagKind::kValue},    {"--videos", FlagKind::kValue},
    {"--scan", FlagKind::kValue},    {"--base-url", FlagKind::kValue},
    {"--timeout", FlagKind::kValue}, {"--offline-grace", FlagKind::kValue},
};

int usage(const std::string& text) { return cli_usage(kUsage, text); }

struct Run {
  AdminApi api;
  std::string scan_id, id;  // the scan's public id, and its record number
  int total = 0;
};

// What one of the machine's events means for the run: nullopt to go on,
// else the exit status.
std::optional<int> judge(const Run& run, const FollowEvent& ev) {
  const cJSON* d = ev.d;
  if (json_get_string(d, "scan_id") != run.scan_id) return std::nullopt;
  if (ev.name == "thumbnail_progress") {
    std::fprintf(stderr, "thumbnails: %d/%d videos, %d thumbnails\n", json_get_int32(d, "current"),
                 json_get_int32(d, "total"), json_get_int32(d, "generated"));
    return std::nullopt;
  }
  if (ev.name != "thumbnails_complete") return std::nullopt;
  if (json_has(d, "error")) return cli_fail("thumbnails: " + json_get_string(d, "error"));
  std::string error;
  Json r = admin_call(run.api, "GET", "/api/scans/" + run.id, nullptr, kCallSeconds, &error);
  if (!r) return cli_fail("thumbnails: " + error);
  const cJSON* scan = json_get(r.get(), "scan");
  double generated = json_get_number(d, "generated");
  double stored = json_get_number(scan, "thumbnails");
  if (stored < generated)
    std::fprintf(stderr, "thumbnails: the agent uploaded %.0f, the server holds %.0f\n", generated,
                 stored);
  Json out = json_object();
  json_add_number(out.get(), "generated", generated);
  json_add_number(out.get(), "total", run.total);
  json_add_string(out.get(), "stored", json_get_string(scan, "stored") + "/thumbnails");
  std::printf("%s\n", json_print(out.get()).c_str());
  std::fflush(stdout);
  return 0;
}

int cmd_thumbnails(const Flags& f) {
  if (f.words.size() != 2) return usage("thumbnails: expected one MACHINE");
  Follow follow{.context = "thumbnails", .machine = f.words[1], .announce = true};
  if (!valid_machine_id(follow.machine))
    return usage("thumbnails: " + follow.machine + ": not a machine id");
  std::optional<std::string> path = f.value("--path");
  if (!path || path->empty()) return usage("thumbnails: --path: missing or empty");
  std::optional<std::string> videos_text = f.value("--videos"), scan_number = f.value("--scan");
  if (videos_text.has_value() == scan_number.has_value())
    return usage("thumbnails: give --videos or --scan");
  Json videos = videos_text ? json_parse(*videos_text) : nullptr;
  if (videos_text && !json_is_array(videos.get()))
    return usage("thumbnails: --videos: not a JSON array");
  if (scan_number && !parse_decimal(*scan_number, INT64_MAX))
    return usage("thumbnails: --scan: not a scan number");
  std::string error;
  if (!follow_read_flags(f, &follow, &error)) return usage(error);
  std::optional<AdminApi> api = admin_api_open(f.data(), &error);
  if (!api) return cli_fail("thumbnails: " + error);
  Run run;
  run.api = std::move(*api);

  // The thumbnails go to the scan named, or to a new one.
  Json r;
  if (scan_number) {
    r = admin_call(run.api, "GET", "/api/scans/" + *scan_number, nullptr, kCallSeconds, &error);
  } else {
    Json body = json_object();
    json_add_string(body.get(), "machine_id", follow.machine);
    json_add_string(body.get(), "source", "path:" + *path);
    r = admin_call(run.api, "POST", "/api/scans", body.get(), kCallSeconds, &error);
  }
  if (!r) return cli_fail("thumbnails: " + error);
  const cJSON* scan = json_get(r.get(), "scan");
  if (scan_number) {
    if (json_get_string(scan, "machine_id") != follow.machine)
      return cli_fail("thumbnails: scan " + *scan_number + " is not a scan of " + follow.machine);
    videos = scan_folder_videos(json_get_string(scan, "stored"));
    if (json_array_size(videos.get()) == 0)
      return cli_fail("thumbnails: scan " + *scan_number + " found no video it could place");
  }
  run.scan_id = json_get_string(scan, "scan_id");
  run.id = std::to_string(static_cast<long long>(json_get_number(scan, "id")));
  run.total = json_array_size(videos.get());
  std::fprintf(stderr, "thumbnails: %s, %d videos on %s\n", run.scan_id.c_str(), run.total,
               path->c_str());

  Json d = json_object();
  json_add_string(d.get(), "scan_id", run.scan_id);
  json_add_string(d.get(), "disk_path", *path);
  json_add_string(d.get(), "upload_token", json_get_string(scan, "token"));
  json_add_string(d.get(), "server_url", admin_agent_origin(run.api, f.value_or("--base-url", "")));
  json_add_item(d.get(), "videos", std::move(videos));
  return follow_events(run.api, follow, "generate_thumbnails", std::move(d),
                       [&run](const FollowEvent& ev) { return judge(run, ev); });
}

}  // namespace

const CliCommand kThumbnailsCommand{"thumbnails", kFlags, kUsage, cmd_thumbnails};

}  // namespace halvex::server
