#include "server/admin/console.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "core/json.h"
#include "core/util.h"
#include "server/admin/console_assets.h"
#include "server/admin/range.h"
#include "server/admin/routes.h"
#include "server/admin/app_replies.h"
#include "server/store/store.h"
#include "server/http/upload_form.h"
#include "server/uploads/scan_videos.h"
#include "server/uploads/uploads.h"
#include "server/http/web.h"

namespace halvex::server {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kPrefix = "/console/";
constexpr std::string_view kPages[] = {"", "machine", "jobs", "gallery", "events"};
constexpr std::string_view kStatic = "static/";
constexpr std::string_view kApi = "api/";
// Events in one page of the all-machines view, and payload bytes shown of each.
constexpr int kConsoleEventPage = 50;
constexpr size_t kConsoleEventPrefix = 200;
// Offsets and sizes beyond 2^53 are not what a scan stored.
constexpr double kMaxExact = 9007199254740992.0;

bool ends_with(std::string_view text, std::string_view end) {
  return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

HttpResponse with_csp(HttpResponse r) {
  r.csp = std::string(kConsoleCsp);
  return r;
}

std::optional<uint64_t> number(std::string_view text) { return parse_decimal(text, INT64_MAX); }

// "ID/rest" after a prefix: the id and the rest.
std::optional<std::pair<int64_t, std::string_view>> id_and_rest(std::string_view text) {
  size_t slash = text.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  std::optional<uint64_t> id = number(text.substr(0, slash));
  if (!id) return std::nullopt;
  return std::make_pair(static_cast<int64_t>(*id), text.substr(slash + 1));
}

Json picture_json(int64_t scan, const ScanPicture& p) {
  Json o = json_object();
  json_add_number(o.get(), "offset", static_cast<double>(p.offset));
  json_add_number(o.get(), "size", static_cast<double>(p.size));
  json_add_string(o.get(), "type", p.type);
  json_add_string(o.get(), "url",
                  "/console/api/scans/" + std::to_string(scan) + "/picture?chunk=" + p.chunk +
                      "&offset=" + std::to_string(p.offset));
  return o;
}

std::vector<ScanPicture> chunk_pictures(const std::string& folder, const std::string& chunk) {
  Json record = scan_json_file(folder + "/chunks/" + chunk + ".json");
  return scan_chunk_pictures(chunk, record.get());
}

// The pictures of a scan: the JPEG regions of every chunk (by offset), and
// the video thumbnails with what the agent said of each.
HttpResponse pictures(int64_t scan, const std::string& folder) {
  std::vector<std::string> chunks = scan_chunk_names(folder), thumbs;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder + "/thumbnails", ec)) {
    std::string name = e.path().filename().string();
    if (ends_with(name, ".jpg")) thumbs.push_back(name.substr(0, name.size() - 4));
  }
  std::sort(thumbs.begin(), thumbs.end());
  Json list = json_array();
  for (const std::string& c : chunks)
    for (const ScanPicture& p : chunk_pictures(folder, c))
      json_append(list.get(), picture_json(scan, p));
  Json videos = json_array();
  for (const std::string& t : thumbs) {
    Json meta = scan_json_file(folder + "/thumbnails/" + t + ".json");
    Json o = json_is_object(meta.get()) ? std::move(meta) : json_object();
    json_add_string(o.get(), "url",
                    "/console/api/scans/" + std::to_string(scan) + "/thumbnail/" + t);
    json_append(videos.get(), std::move(o));
  }
  Json out = json_object();
  json_add_item(out.get(), "pictures", std::move(list));
  json_add_item(out.get(), "thumbnails", std::move(videos));
  return json_reply(200, out.get());
}

HttpResponse picture(const std::string& folder, std::string_view query) {
  std::optional<Params> q = parse_form(query);
  std::string chunk = q ? param(*q, "chunk").value_or("") : "";
  std::optional<uint64_t> offset = number(q ? param(*q, "offset").value_or("") : "");
  if (!scan_chunk_name(chunk) || !offset)
    return json_error(400, "chunk and offset: missing or malformed");
  for (const ScanPicture& p : chunk_pictures(folder, chunk)) {
    if (p.offset != *offset) continue;
    HttpResponse r;
    r.content_type = "image/jpeg";
    r.file_path = folder + "/chunks/" + chunk + ".regions.bin";
    r.file_offset = p.at;
    r.file_length = p.size;
    return r;
  }
  return json_error(404, "no picture at that offset");
}

// A finished image's file, whole or the part the Range header asks for.
HttpResponse image_file(Store& store, int64_t id, const HttpRequest& req) {
  std::optional<ImageRecord> image = store.image(id);
  if (!image || image->status != "complete" || image->path.empty())
    return json_error(404, "image " + std::to_string(id) + ": no finished image");
  std::error_code ec;
  uint64_t size = fs::file_size(image->path, ec);
  if (ec) return json_error(404, "image " + std::to_string(id) + ": the file is gone");
  HttpResponse r = ranged_file_reply(req.range, size);
  if (r.status != 416) r.file_path = image->path;
  return r;
}

// The newest events of all machines, a page at a time, newest first: those
// before `before` (a sequence number; absent: from the newest on), of one
// type when `type` is given. Each payload is cut to its first bytes, and
// "cut" says whether it was. "types" are every stored event name, for the
// filter.
HttpResponse all_events(Store& store, std::string_view query) {
  std::optional<Params> q = parse_form(query);
  if (!q) return json_error(400, "query: malformed");
  EventFilter filter;
  filter.name = param(*q, "type").value_or("");
  std::string before = param(*q, "before").value_or("0");
  std::optional<uint64_t> seq = number(before);
  if (!seq) return json_error(400, "before: not a sequence number");
  filter.before = static_cast<int64_t>(*seq);
  std::vector<StoredEvent> events =
      store.recent_events(kConsoleEventPage + 1, kConsoleEventPrefix, filter);
  const bool more = events.size() > static_cast<size_t>(kConsoleEventPage);
  if (more) events.pop_back();
  std::map<std::string, std::string> hosts;
  for (const Machine& m : store.machines()) hosts[m.machine_id] = m.hostname;
  Json list = json_array();
  for (const StoredEvent& e : events) {
    Json o = json_object();
    json_add_number(o.get(), "seq", static_cast<double>(e.seq));
    json_add_number(o.get(), "at", static_cast<double>(e.at));
    json_add_string(o.get(), "machine_id", e.machine_id);
    json_add_string(o.get(), "hostname", hosts[e.machine_id]);
    json_add_string(o.get(), "e", e.name);
    // The payload's first bytes as text: cut, it is no longer JSON.
    std::string shown = text_cut(e.data, kConsoleEventPrefix);
    json_add_bool(o.get(), "cut", shown.size() < e.size);
    json_add_string(o.get(), "d", shown);
    json_append(list.get(), std::move(o));
  }
  std::string types = "[";
  for (const std::string& name : store.event_names()) {
    if (types.size() > 1) types += ",";
    json_write_string(&types, name);
  }
  Json out = json_object();
  json_add_item(out.get(), "events", std::move(list));
  json_add_bool(out.get(), "more", more);
  json_add_item(out.get(), "types", json_parse(types + "]"));
  return json_reply(200, out.get());
}

// The files an operator can hand to a machine: the regular files of the
// files folder (those /files/ serves), by name.
HttpResponse files_list(const std::string& folder) {
  std::vector<std::pair<std::string, uint64_t>> found;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    std::string name = e.path().filename().string();
    std::error_code ignored;
    if (name[0] == '.' || !e.is_regular_file(ignored) || e.is_symlink(ignored)) continue;
    found.emplace_back(name, e.file_size(ignored));
  }
  std::sort(found.begin(), found.end());
  Json list = json_array();
  for (const auto& [name, size] : found) {
    Json o = json_object();
    json_add_string(o.get(), "name", name);
    json_add_number(o.get(), "size", static_cast<double>(size));
    json_append(list.get(), std::move(o));
  }
  Json out = json_object();
  json_add_item(out.get(), "files", std::move(list));
  return json_reply(200, out.get());
}

}  // namespace

std::string_view console_content_type(std::string_view name) {
  if (ends_with(name, ".html")) return "text/html; charset=utf-8";
  if (ends_with(name, ".css")) return "text/css; charset=utf-8";
  if (ends_with(name, ".js")) return "text/javascript; charset=utf-8";
  if (ends_with(name, ".svg")) return "image/svg+xml";
  return "application/octet-stream";
}

std::optional<HttpResponse> console_static(std::string_view path) {
  if (path.substr(0, kPrefix.size()) != kPrefix) return std::nullopt;
  std::string_view rest = path.substr(kPrefix.size());
  std::string_view name;
  for (std::string_view page : kPages)
    if (rest == page) name = "console.html";
  if (name.empty() && rest.substr(0, kStatic.size()) == kStatic) name = rest.substr(kStatic.size());
  if (name.empty()) return std::nullopt;
  for (size_t i = 0; i < kConsoleAssetCount; i++) {
    if (kConsoleAssets[i].name != name) continue;
    HttpResponse r;
    r.content_type = std::string(console_content_type(name));
    r.body = std::string(kConsoleAssets[i].bytes);
    return r;
  }
  return std::nullopt;
}

std::vector<ScanPicture> scan_chunk_pictures(const std::string& chunk, const cJSON* record) {
  const cJSON* sigs = json_get(json_get(record, "scan_results"), "image_sigs");
  std::optional<std::map<uint64_t, ScanRegion>> regions = scan_regions(record);
  if (!regions) return {};
  std::vector<ScanPicture> out;
  if (!json_is_array(sigs)) return out;
  for (const cJSON* hit = json_first(sigs); hit != nullptr; hit = json_next(hit)) {
    double offset = json_number_value(json_array_item(hit, 0), -1);
    const cJSON* type = json_array_item(hit, 1);
    if (!json_is_string(type) || std::string_view(json_string_value(type)) != "JPEG" ||
        !(offset >= 0 && offset <= kMaxExact))
      continue;
    auto it = regions->find(static_cast<uint64_t>(offset));
    if (it == regions->end() || it->second.size == 0) continue;
    out.push_back({chunk, it->first, it->second.at, it->second.size, "JPEG"});
  }
  return out;
}

HttpResponse App::console(const RouteCall& c) {
  const bool get = c.req.method == "GET" || c.req.method == "HEAD";
  if (std::optional<HttpResponse> r = get ? console_static(c.path) : std::nullopt)
    return with_csp(std::move(*r));
  const std::string_view api = c.path.substr(kPrefix.size());
  if (api.substr(0, kApi.size()) != kApi)
    return with_csp(html(404, "Not found", "<p>There is nothing here.</p>"));
  if (!get) return with_csp(json_error(405, "use GET"));
  const std::string_view what = api.substr(kApi.size());
  if (what == "session") {
    Json o = json_object();
    json_add_string(o.get(), "user", c.session->username);
    json_add_string(o.get(), "csrf", c.session->csrf);
    return with_csp(json_reply(200, o.get()));
  }
  if (what == "machines/stream") {
    // One event per snapshot of the list; json_print writes one line.
    HttpResponse r;
    r.content_type = "text/event-stream";
    r.body = "event: machines\ndata: " + json_print(machines_json().get()) + "\n\n";
    r.push = true;
    return with_csp(std::move(r));
  }
  if (what == "events") return with_csp(all_events(hub_.store(), c.query));
  if (!uploads_) return with_csp(json_error(404, "no such API"));
  if (what == "files") return with_csp(files_list(uploads_->data_dir() + "/files"));
  constexpr std::string_view kScans = "scans/", kImages = "images/";
  if (what.substr(0, kImages.size()) == kImages) {
    auto id = id_and_rest(what.substr(kImages.size()));
    if (id && id->second == "file") return with_csp(image_file(hub_.store(), id->first, c.req));
  }
  if (what.substr(0, kScans.size()) == kScans) {
    auto id = id_and_rest(what.substr(kScans.size()));
    if (id && hub_.store().scan(id->first)) {
      const std::string folder = uploads_->scan_folder(id->first);
      std::string_view rest = id->second;
      if (rest == "pictures") return with_csp(pictures(id->first, folder));
      if (rest == "videos") {
        Json out = json_object();
        json_add_item(out.get(), "videos", scan_folder_videos(folder));
        return with_csp(json_reply(200, out.get()));
      }
      if (rest == "picture") return with_csp(picture(folder, c.query));
      if (rest == "tree")
        return with_csp(console_scan_file(folder + "/directory_tree.json", "application/json"));
      constexpr std::string_view kThumb = "thumbnail/";
      if (rest.substr(0, kThumb.size()) == kThumb && number(rest.substr(kThumb.size())))
        return with_csp(console_scan_file(
            folder + "/thumbnails/" + std::string(rest.substr(kThumb.size())) + ".jpg",
            "image/jpeg"));
    }
  }
  return with_csp(json_error(404, "no such API"));
}

HttpResponse console_scan_file(const std::string& path, std::string_view content_type) {
  std::error_code ec;
  uint64_t size = fs::file_size(path, ec);
  if (ec) return json_error(404, "not stored");
  HttpResponse r;
  r.content_type = std::string(content_type);
  r.file_path = path;
  r.file_length = size;
  return r;
}

}  // namespace halvex::server
