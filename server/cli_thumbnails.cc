#include "server/cli_thumbnails.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>

#include "core/json.h"
#include "server/admin_client.h"
#include "server/app.h"
#include "server/net.h"
#include "server/term_text.h"
#include "server/web.h"

namespace halvex::server {
namespace {

constexpr int kCallSeconds = 60;
constexpr const char* kLastSeq = "9223372036854775807";  // an "after" that lists no event, only last_seq

// Options that take a value: ours and those of the other commands, so that
// the command word is found wherever the options stand.
constexpr const char* kValueOptions[] = {"--data",  "--path",  "--videos", "--base-url", "--timeout", "--disk",
                                         "--file",  "--host",  "--listen", "--user",     "--after",   "--folder",
                                         "--installer", "--version", "--chunk-size", "--config", "--part-size-mb",
                                         "--start-part", "--start-offset-gb"};

struct Options {
  std::string command, machine, data = "recovery-data", base_url;
  std::vector<std::string> positional;
  std::optional<std::string> path, videos, timeout;
};

// The running server's admin API, and the origin the agent uploads to.
struct Api {
  AdminApi admin;
  std::string origin;
};

int fail(const std::string& text) {
  std::fprintf(stderr, "recovery-server: %s\n", terminal_safe(text).c_str());
  return 1;
}

int usage(const std::string& text) {
  std::fprintf(stderr,
               "recovery-server: %s\n"
               "usage: recovery-server thumbnails MACHINE --path P --videos JSON [--base-url URL] [--timeout S]\n"
               "           [--data DIR]\n",
               text.c_str());
  return 2;
}

bool takes_value(const std::string& arg) {
  for (const char* o : kValueOptions)
    if (arg == o) return true;
  return false;
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
      const std::string& v = args[++i];
      if (a == "--data") o.data = v;
      else if (a == "--path") o.path = v;
      else if (a == "--videos") o.videos = v;
      else if (a == "--base-url") o.base_url = v;
      else if (a == "--timeout") o.timeout = v;
      else {
        *error = a + ": not an option of thumbnails";
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


struct Run {
  std::string scan_id, id;  // the scan's public id, and its record number
  int total = 0;
  int timeout = 0;          // seconds without any event before giving up; 0: never
};

// What one of the machine's events means for the run: nullopt to go on,
// else the exit status.
std::optional<int> judge(const Api& api, const Run& run, const std::string& e, const cJSON* d) {
  if (json_get_string(d, "scan_id") != run.scan_id) return std::nullopt;
  if (e == "thumbnail_progress") {
    std::fprintf(stderr, "thumbnails: %d/%d videos, %d thumbnails\n", json_get_int32(d, "current"),
                 json_get_int32(d, "total"), json_get_int32(d, "generated"));
    return std::nullopt;
  }
  if (e != "thumbnails_complete") return std::nullopt;
  if (json_has(d, "error")) return fail("thumbnails: " + json_get_string(d, "error"));
  std::string error;
  Json r = admin_call(api.admin, "GET", "/api/scans/" + run.id, nullptr, kCallSeconds, &error);
  if (!r) return fail("thumbnails: " + error);
  const cJSON* scan = json_get(r.get(), "scan");
  double generated = json_get_number(d, "generated");
  double stored = json_get_number(scan, "thumbnails");
  if (stored < generated)
    std::fprintf(stderr, "thumbnails: the agent uploaded %.0f, the server holds %.0f\n", generated, stored);
  Json out = json_object();
  json_add_number(out.get(), "generated", generated);
  json_add_number(out.get(), "total", run.total);
  json_add_string(out.get(), "stored", json_get_string(scan, "stored") + "/thumbnails");
  std::printf("%s\n", json_print(out.get()).c_str());
  std::fflush(stdout);
  return 0;
}

// Sends the request, then follows the machine's events from after the
// last one stored before it, so no event of an earlier run is taken for
// this one.
int send_and_follow(const Api& api, const Options& o, const Run& run, Json d) {
  std::string error, machine = url_encode(o.machine);
  Json last = admin_call(api.admin, "GET", "/api/events?machine_id=" + machine + "&after=" + kLastSeq, nullptr, kCallSeconds,
                   &error);
  if (!last) return fail("thumbnails: " + error);
  long long after = static_cast<long long>(json_get_number(last.get(), "last_seq"));
  Json body = json_object();
  json_add_string(body.get(), "machine_id", o.machine);
  json_add_string(body.get(), "e", "generate_thumbnails");
  json_add_item(body.get(), "d", std::move(d));
  if (!admin_call(api.admin, "POST", "/api/send", body.get(), kCallSeconds, &error)) return fail("thumbnails: " + error);
  std::fprintf(stderr, "thumbnails: sent generate_thumbnails to %s\n", o.machine.c_str());

  auto quiet_since = std::chrono::steady_clock::now();
  for (;;) {
    std::string target = "/api/events?machine_id=" + machine + "&after=" + std::to_string(after) +
                         "&wait=" + std::to_string(kMaxLongPollSeconds);
    Json r = admin_call(api.admin, "GET", target, nullptr, kMaxLongPollSeconds + 15, &error);
    if (!r) return fail("thumbnails: " + error);
    const cJSON* events = json_get(r.get(), "events");
    if (json_array_size(events) > 0) quiet_since = std::chrono::steady_clock::now();
    for (int i = 0; i < json_array_size(events); i++) {
      const cJSON* e = json_array_item(events, i);
      after = std::max(after, static_cast<long long>(json_get_number(e, "seq")));
      if (std::optional<int> rc = judge(api, run, json_get_string(e, "e"), json_get(e, "d"))) return *rc;
    }
    if (run.timeout > 0 && std::chrono::steady_clock::now() - quiet_since > std::chrono::seconds(run.timeout))
      return fail("thumbnails: no event from " + o.machine + " for " + std::to_string(run.timeout) + " s");
  }
}

}  // namespace

bool cli_is_thumbnails_command(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); i++) {
    if (takes_value(args[i])) {
      i++;
      continue;
    }
    if (args[i].size() > 1 && args[i][0] == '-') continue;
    return args[i] == "thumbnails";
  }
  return false;
}

int cli_thumbnails_main(const std::vector<std::string>& args) {
  std::string error;
  std::optional<Options> o = parse(args, &error);
  if (!o) return usage(error);
  if (o->positional.size() != 1) return usage("thumbnails: expected one MACHINE");
  o->machine = o->positional[0];
  if (!valid_machine_id(o->machine)) return usage("thumbnails: " + o->machine + ": not a machine id");
  if (!o->path || o->path->empty()) return usage("thumbnails: --path: missing or empty");
  Json videos = o->videos ? json_parse(*o->videos) : nullptr;
  if (!json_is_array(videos.get())) return usage("thumbnails: --videos: not a JSON array");
  Run run;
  if (o->timeout) {
    char* end = nullptr;
    long t = std::strtol(o->timeout->c_str(), &end, 10);
    if (o->timeout->empty() || *end != '\0' || t < 1 || t > 86400L * 365)
      return usage("--timeout: not a number of seconds");
    run.timeout = static_cast<int>(t);
  }
  std::optional<Api> api = api_for(*o, &error);
  if (!api) return fail("thumbnails: " + error);

  Json body = json_object();
  json_add_string(body.get(), "machine_id", o->machine);
  json_add_string(body.get(), "source", "path:" + *o->path);
  Json r = admin_call(api->admin, "POST", "/api/scans", body.get(), kCallSeconds, &error);
  if (!r) return fail("thumbnails: " + error);
  const cJSON* scan = json_get(r.get(), "scan");
  run.scan_id = json_get_string(scan, "scan_id");
  run.id = std::to_string(static_cast<long long>(json_get_number(scan, "id")));
  run.total = json_array_size(videos.get());
  std::fprintf(stderr, "thumbnails: %s, %d videos on %s\n", run.scan_id.c_str(), run.total, o->path->c_str());

  Json d = json_object();
  json_add_string(d.get(), "scan_id", run.scan_id);
  json_add_string(d.get(), "disk_path", *o->path);
  json_add_string(d.get(), "upload_token", json_get_string(scan, "token"));
  json_add_string(d.get(), "server_url", api->origin);
  json_add_item(d.get(), "videos", std::move(videos));
  return send_and_follow(*api, *o, run, std::move(d));
}

}  // namespace halvex::server
