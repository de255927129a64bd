// The scan side of Uploads: chunk results, thumbnails, directory trees and
// what the admin API reports about a scan. A scan's folder holds
//   chunks/OFFSET.json         the chunk's hits and region index
//   chunks/OFFSET.regions.bin  the region bytes, in region index order
//   thumbnails/INDEX.jpg       video thumbnails, with INDEX.json beside
//   directory_tree.json        the "directory_tree" event's payload
// with OFFSET the chunk's disk offset in 20 digits, so a chunk sent again
// replaces its earlier copy.

#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "core/json.h"
#include "core/log.h"
#include "server/http/upload_form.h"
#include "server/uploads/uploads.h"
#include "server/http/web.h"

namespace halvex::server {
namespace {

namespace fs = std::filesystem;

constexpr MultipartLimits kScanForm{16, 4096};
// Largest "scan_results" or "region_index" text parsed in memory.
constexpr uint64_t kMaxScanJson = 16 * 1024 * 1024;
constexpr double kMaxExactInteger = 9007199254740992.0;  // 2^53
constexpr size_t kMaxSignatureName = 15;

std::atomic<uint64_t> g_temp_counter{0};

// A whole non-negative number that a JSON double carries exactly.
std::optional<uint64_t> json_whole(const cJSON* item) {
  if (!json_is_number(item)) return std::nullopt;
  double v = json_number_value(item);
  if (!(v >= 0 && v <= kMaxExactInteger) || std::floor(v) != v) return std::nullopt;
  return static_cast<uint64_t>(v);
}

struct Chunk {
  uint64_t offset = 0, size = 0;
  bool holds(uint64_t at) const { return at >= offset && at - offset < size; }
  std::string text() const {
    return "[" + std::to_string(offset) + ", " + std::to_string(offset + size) + ")";
  }
};

using HitCounts = std::map<std::string, int64_t>;

bool fail(std::string* error, std::string text) {
  *error = std::move(text);
  return false;
}

bool hit_in_chunk(const cJSON* item, const Chunk& chunk, const char* what, std::string* error) {
  std::optional<uint64_t> at = json_whole(item);
  if (!at)
    return fail(error, std::string("scan_results: ") + what + " offset is not a whole number");
  if (!chunk.holds(*at))
    return fail(error, std::string("scan_results: ") + what + " at " + std::to_string(*at) +
                           " lies outside the chunk " + chunk.text());
  return true;
}

// Checks the hit lists and counts them by kind ("ftyp", "moov", and each
// image signature's type).
bool check_hits(const cJSON* results, const Chunk& chunk, HitCounts* counts, std::string* error) {
  const cJSON* ftyp = json_get(results, "ftyp_list");
  const cJSON* moov = json_get(results, "moov_dict");
  const cJSON* sigs = json_get(results, "image_sigs");
  if (!json_is_object(results) || !json_is_array(ftyp) || !json_is_object(moov) ||
      !json_is_array(sigs))
    return fail(error, "scan_results: not an object of ftyp_list, moov_dict and image_sigs");
  uint64_t ftyp_hits = 0;
  for (const cJSON* item = json_first(ftyp); item != nullptr; item = json_next(item)) {
    if (!hit_in_chunk(item, chunk, "ftyp", error)) return false;
    ftyp_hits++;
  }
  if (ftyp_hits) (*counts)["ftyp"] += ftyp_hits;
  uint64_t moov_hits = 0;
  for (const cJSON* m = json_first(moov); m != nullptr; m = json_next(m)) {
    std::optional<uint64_t> at = parse_decimal(json_member_name(m), UINT64_MAX);
    std::optional<uint64_t> size = json_whole(m);
    if (!at || !size || *size > UINT32_MAX)
      return fail(error, "scan_results: malformed moov entry");
    if (!chunk.holds(*at))
      return fail(error, "scan_results: moov at " + std::to_string(*at) +
                             " lies outside the chunk " + chunk.text());
    moov_hits++;
  }
  if (moov_hits) (*counts)["moov"] += moov_hits;
  for (const cJSON* sig = json_first(sigs); sig != nullptr; sig = json_next(sig)) {
    const cJSON* offset = json_is_array(sig) ? json_first(sig) : nullptr;
    const cJSON* type = json_next(offset);
    std::string name = json_string_value(type);
    if (!type || json_next(type) || !json_is_string(type) || name.empty() ||
        name.size() > kMaxSignatureName)
      return fail(error, "scan_results: image_sigs entry is not [offset, type]");
    if (!hit_in_chunk(offset, chunk, name.c_str(), error)) return false;
    (*counts)[name]++;
  }
  return true;
}

// Checks every region against the chunk and the region bytes' length.
bool check_regions(const cJSON* index, const Chunk& chunk, uint64_t bytes, std::string* error) {
  if (!json_is_array(index)) return fail(error, "region_index: not an array");
  uint64_t total = 0;
  int i = -1;
  for (const cJSON* r = json_first(index); r != nullptr; r = json_next(r)) {
    i++;
    std::optional<uint64_t> start = json_whole(json_get(r, "start"));
    std::optional<uint64_t> end = json_whole(json_get(r, "end"));
    std::optional<uint64_t> size = json_whole(json_get(r, "size"));
    std::string which = "region_index: region " + std::to_string(i);
    if (!start || !end || !size)
      return fail(error, which + ": start, end and size must be whole numbers");
    if (*end < *start || *size != *end - *start)
      return fail(error, which + ": size is not end - start");
    if (*start < chunk.offset || *end > chunk.offset + chunk.size)
      return fail(error, which + " [" + std::to_string(*start) + ", " + std::to_string(*end) +
                             ") lies outside the chunk " + chunk.text());
    total += *size;  // each at most 2^53, and there are fewer than 2^31
  }
  if (total != bytes)
    return fail(error, "region_index: sizes add up to " + std::to_string(total) +
                           " bytes, regions.bin holds " + std::to_string(bytes));
  return true;
}

// A JSON field of the form, parsed.
Json form_json(const Form& form, const char* name, std::string* error, int* status) {
  const MultipartPart* part = multipart_find(form.parts, name);
  *status = 400;
  if (!part) {
    *error = std::string(name) + ": missing";
    return nullptr;
  }
  std::optional<std::string> text = body_read(form.body, *part, kMaxScanJson, error);
  if (!text) return nullptr;
  Json parsed = json_parse(*text);
  *status = 422;
  if (!parsed) *error = std::string(name) + ": not JSON";
  return parsed;
}

std::string temp_beside(const std::string& path) {
  return path + ".tmp" + std::to_string(g_temp_counter++);
}

// Writes a file whole under a temporary name, then renames it into place.
template <class Writer>
bool store_file(const std::string& path, Writer write, std::string* error) {
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  std::string temp = temp_beside(path);
  bool ok = false;
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    ok = out && write(out, error);
    out.flush();
    if (ok && !out) ok = fail(error, "write " + path + ": failed");
  }
  if (ok) {
    fs::rename(temp, path, ec);
    if (ec) ok = fail(error, "rename " + path + ": " + ec.message());
  }
  if (!ok) fs::remove(temp, ec);
  return ok;
}

bool store_text(const std::string& path, const std::string& text, std::string* error) {
  return store_file(
      path,
      [&text](std::ofstream& out, std::string*) {
        out << text;
        return true;
      },
      error);
}

std::string offset_name(uint64_t offset) {
  char text[32];
  std::snprintf(text, sizeof text, "%020llu", static_cast<unsigned long long>(offset));
  return text;
}

Json scan_json(const ScanRecord& s, const std::string& folder) {
  Json o = json_object();
  json_add_number(o.get(), "id", static_cast<double>(s.id));
  json_add_string(o.get(), "scan_id", s.scan_id);
  json_add_string(o.get(), "machine_id", s.machine_id);
  json_add_string(o.get(), "source", s.source);
  json_add_string(o.get(), "token", s.token);
  json_add_string(o.get(), "stored", folder);
  json_add_number(o.get(), "created", static_cast<double>(s.created));
  return o;
}

}  // namespace

HttpResponse Uploads::scanned_chunk(const HttpRequest& req, int64_t id) {
  std::optional<ScanRecord> scan = store_.scan(id);
  if (!scan) return json_error(500, "scan " + std::to_string(id) + ": record unreadable");
  Form form;
  std::string error, scan_id;
  std::optional<uint64_t> offset, size;
  if (!read_form(req, kScanForm, &form, &error) ||
      !form_text(form, "scan_id", true, &scan_id, &error) ||
      !form_number(form, "offset", UINT64_MAX / 2, &offset, &error) ||
      !form_number(form, "chunk_size", UINT32_MAX, &size, &error))
    return json_error(400, error);
  if (scan_id != scan->scan_id)
    return json_error(422, "scan_id " + scan_id + ": not the scan of this token");
  const MultipartPart* regions = multipart_find(form.parts, "regions");
  if (!regions || !regions->has_filename) return json_error(400, "regions: missing");
  int status = 0;
  Json results = form_json(form, "scan_results", &error, &status);
  if (!results) return json_error(status, error);
  Json index = form_json(form, "region_index", &error, &status);
  if (!index) return json_error(status, error);
  Chunk chunk{*offset, *size};
  HitCounts counts;
  if (!check_hits(results.get(), chunk, &counts, &error) ||
      !check_regions(index.get(), chunk, regions->size, &error))
    return json_error(422, error);

  Json record = json_object();
  json_add_number(record.get(), "offset", static_cast<double>(*offset));
  json_add_number(record.get(), "chunk_size", static_cast<double>(*size));
  json_add_item(record.get(), "scan_results", std::move(results));
  json_add_item(record.get(), "region_index", std::move(index));
  const std::string base = scan_folder(id) + "/chunks/" + offset_name(*offset);
  // The regions go first: a chunk's JSON under its final name means its
  // bytes are there too.
  bool stored = store_file(
                    base + ".regions.bin",
                    [&form, regions](std::ofstream& out, std::string* e) {
                      return body_copy(form.body, *regions, out, e);
                    },
                    &error) &&
                store_text(base + ".json", json_print(record.get()) + "\n", &error);
  if (!stored) {
    log_msg(LOG_ERROR, "upload: scan %lld: %s", static_cast<long long>(id), error.c_str());
    return json_error(500, error);
  }
  Json out = json_object();
  json_add_string(out.get(), "status", "ok");
  json_add_string(out.get(), "scan_id", scan->scan_id);
  json_add_number(out.get(), "offset", static_cast<double>(*offset));
  json_add_number(out.get(), "region_bytes", static_cast<double>(regions->size));
  return json_reply(200, out.get());
}

HttpResponse Uploads::video_thumbnail(const HttpRequest& req, int64_t id) {
  std::optional<ScanRecord> scan = store_.scan(id);
  if (!scan) return json_error(500, "scan " + std::to_string(id) + ": record unreadable");
  Form form;
  std::string error, scan_id, video_id;
  std::optional<uint64_t> index;
  if (!read_form(req, kScanForm, &form, &error) ||
      !form_text(form, "scan_id", true, &scan_id, &error) ||
      !form_text(form, "video_id", true, &video_id, &error) ||
      !form_number(form, "video_index", INT32_MAX, &index, &error))
    return json_error(400, error);
  if (scan_id != scan->scan_id)
    return json_error(422, "scan_id " + scan_id + ": not the scan of this token");
  const MultipartPart* thumb = multipart_find(form.parts, "thumbnail");
  if (!thumb || !thumb->has_filename) return json_error(400, "thumbnail: missing");
  std::optional<std::string> jpeg = body_read(form.body, *thumb, kMaxThumbnail, &error);
  if (!jpeg) return json_error(413, error);
  if (jpeg->size() < 3 || jpeg->compare(0, 3, "\xFF\xD8\xFF") != 0)
    return json_error(422, "thumbnail: not a JPEG");

  Json meta = json_object();
  json_add_string(meta.get(), "video_id", video_id);
  json_add_number(meta.get(), "video_index", static_cast<double>(*index));
  json_add_number(meta.get(), "bytes", static_cast<double>(jpeg->size()));
  const std::string base = scan_folder(id) + "/thumbnails/" + offset_name(*index).substr(10);
  if (!store_text(base + ".jpg", *jpeg, &error) ||
      !store_text(base + ".json", json_print(meta.get()) + "\n", &error))
    return json_error(500, error);
  Json out = json_object();
  json_add_string(out.get(), "status", "ok");
  json_add_number(out.get(), "video_index", static_cast<double>(*index));
  return json_reply(200, out.get());
}

void Uploads::on_report(const std::string& machine_id, const std::string& name, const cJSON* d) {
  if (name != "directory_tree") return;
  std::string scan_id = json_get_string(d, "scan_id");
  std::optional<ScanRecord> scan =
      scan_id.empty() ? std::nullopt : store_.scan_by_scan_id(machine_id, scan_id);
  if (!scan) return;
  std::string error;
  if (!store_text(scan_folder(scan->id) + "/directory_tree.json", json_print(d) + "\n", &error))
    log_msg(LOG_ERROR, "upload: scan %s: %s", scan_id.c_str(), error.c_str());
}

HttpResponse Uploads::add_scan(const HttpRequest& req) {
  Json body = json_parse(req.body);
  if (!json_is_object(body.get())) return json_error(400, "body: not a JSON object");
  ScanRecord s;
  s.machine_id = json_get_string(body.get(), "machine_id");
  s.source = json_get_string(body.get(), "source");
  if (!valid_machine_id(s.machine_id)) return json_error(400, "machine_id: missing or malformed");
  if (s.source.empty() || s.source.size() > kMaxSource)
    return json_error(400, "source: missing or too long");
  s.token = new_upload_token();
  std::optional<ScanRecord> added = store_.add_scan(s, clock_());
  if (!added) return json_error(500, "store: cannot add the scan");
  log_msg(LOG_INFO, "upload: %s issued for machine %s (%s)", added->scan_id.c_str(),
          s.machine_id.c_str(), s.source.c_str());
  Json out = json_object();
  json_add_item(out.get(), "scan", scan_json(*added, scan_folder(added->id)));
  return json_reply(200, out.get());
}

HttpResponse Uploads::show_scan(int64_t id) {
  std::optional<ScanRecord> scan = store_.scan(id);
  if (!scan) return json_error(404, "scan " + std::to_string(id) + ": unknown");
  const std::string folder = scan_folder(id);
  HitCounts counts;
  int64_t chunks = 0, thumbnails = 0;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder + "/chunks", ec)) {
    const std::string path = entry.path().string();
    if (entry.path().extension() != ".json") continue;
    std::string text;
    std::ifstream in(path);
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    Json record = json_parse(text);
    std::string ignored;
    Chunk whole{0, UINT64_MAX};
    if (record) check_hits(json_get(record.get(), "scan_results"), whole, &counts, &ignored);
    chunks++;
  }
  for (const auto& entry : fs::directory_iterator(folder + "/thumbnails", ec))
    if (entry.path().extension() == ".jpg") thumbnails++;
  std::ifstream tree_in(folder + "/directory_tree.json");
  Json tree = json_parse(
      std::string(std::istreambuf_iterator<char>(tree_in), std::istreambuf_iterator<char>()));
  int tree_entries = json_array_size(json_get(json_get(tree.get(), "directory_tree"), "entries"));

  Json o = scan_json(*scan, folder);
  json_add_number(o.get(), "chunks", static_cast<double>(chunks));
  Json hits = json_object();
  for (const auto& [kind, n] : counts)
    json_add_number(hits.get(), kind.c_str(), static_cast<double>(n));
  json_add_item(o.get(), "hits", std::move(hits));
  json_add_number(o.get(), "tree_entries", tree_entries);
  json_add_number(o.get(), "thumbnails", static_cast<double>(thumbnails));
  Json out = json_object();
  json_add_item(out.get(), "scan", std::move(o));
  return json_reply(200, out.get());
}

}  // namespace halvex::server
