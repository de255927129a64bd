#include "server/uploads/scan_videos.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/coding.h"
#include "server/http/upload_form.h"

namespace halvex::server {
namespace {

// Offsets and sizes beyond 2^53 are not what a scan stored.
constexpr double kMaxExact = 9007199254740992.0;
constexpr uint64_t kMaxOffset = uint64_t{1} << 53;
// Largest JSON file of a scan read into memory.
constexpr uintmax_t kMaxJsonFile = 64u << 20;
// Boxes walked after an ftyp box before giving up on finding its mdat.
constexpr int kMaxBoxes = 64;

std::optional<uint64_t> exact(double v) {
  if (!(v >= 0 && v <= kMaxExact) || v != static_cast<double>(static_cast<uint64_t>(v)))
    return std::nullopt;
  return static_cast<uint64_t>(v);
}

const uint8_t* bytes_of(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

// The mdat box that follows the ftyp box at the start of `region`, read
// box header by box header; nullopt when it is not there.
std::optional<std::pair<uint64_t, uint64_t>> find_mdat(const ScanRegion& region,
                                                       const RegionReader& read) {
  uint64_t pos = 0;
  for (int i = 0; i < kMaxBoxes && region.size - pos >= 8; i++) {
    const std::string head = read(region.at + pos, std::min<uint64_t>(16, region.size - pos));
    if (head.size() < 8) return std::nullopt;
    uint64_t size = get_be32(bytes_of(head));
    const std::string_view type = std::string_view(head).substr(4, 4);
    if (size == 1) {  // a 64-bit size follows the type
      if (head.size() < 16) return std::nullopt;
      size = uint64_t{get_be32(bytes_of(head) + 8)} << 32 | get_be32(bytes_of(head) + 12);
    }
    // A size past any disk would wrap the mdat's end round to before it.
    if (size < 8 || size > kMaxOffset || (i == 0 && type != "ftyp")) return std::nullopt;
    if (type == "mdat") return std::make_pair(pos, size);
    if (size >= region.size - pos) return std::nullopt;  // the next box is past the region
    pos += size;
  }
  return std::nullopt;
}

// Reads `size` bytes at `at` of an open regions.bin (fewer at its end).
std::string read_at(std::ifstream& in, uint64_t at, uint64_t size) {
  std::string out(size, '\0');
  in.clear();
  in.seekg(static_cast<std::streamoff>(at));
  in.read(out.data(), static_cast<std::streamsize>(size));
  out.resize(static_cast<size_t>(in.gcount()));
  return out;
}

}  // namespace

Json scan_json_file(const std::string& path) {
  std::error_code ec;
  uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec || size > kMaxJsonFile) return nullptr;
  std::ifstream in(path, std::ios::binary);
  if (!in) return nullptr;
  return json_parse(
      std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

bool scan_chunk_name(std::string_view name) {
  return name.size() == 20 &&
         std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string> scan_chunk_names(const std::string& folder) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder + "/chunks", ec)) {
    const std::string name = e.path().filename().string();
    if (name.size() == 25 && name.substr(20) == ".json" && scan_chunk_name(name.substr(0, 20)))
      out.push_back(name.substr(0, 20));
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::optional<std::map<uint64_t, ScanRegion>> scan_regions(const cJSON* record) {
  const cJSON* index = json_get(record, "region_index");
  std::map<uint64_t, ScanRegion> out;
  if (!json_is_array(index)) return out;
  uint64_t at = 0;
  for (const cJSON* r = json_first(index); r != nullptr; r = json_next(r)) {
    std::optional<uint64_t> start = exact(json_get_number(r, "start", -1));
    std::optional<uint64_t> size = exact(json_get_number(r, "size", -1));
    if (!start || !size) return std::nullopt;
    out.emplace(*start, ScanRegion{at, *size});
    at += *size;
  }
  return out;
}

void ScanVideoFinder::add_chunk(const cJSON* record, const RegionReader& read) {
  const cJSON* results = json_get(record, "scan_results");
  const cJSON* moovs = json_get(results, "moov_dict");
  if (!json_is_object(moovs)) moovs = nullptr;
  for (const cJSON* m = json_first(moovs); m != nullptr; m = json_next(m)) {
    std::optional<uint64_t> offset = parse_decimal(json_member_name(m), kMaxOffset);
    std::optional<uint64_t> size = exact(json_number_value(m, -1));
    if (offset && size) moovs_[*offset] = *size;
  }
  std::optional<std::map<uint64_t, ScanRegion>> regions = scan_regions(record);
  const cJSON* ftyps = json_get(results, "ftyp_list");
  if (!json_is_array(ftyps)) ftyps = nullptr;
  for (const cJSON* f = json_first(ftyps); f != nullptr; f = json_next(f)) {
    std::optional<uint64_t> ftyp = exact(json_number_value(f, -1));
    if (!ftyp) continue;
    ftyps_.insert(*ftyp);
    auto region = regions ? regions->find(*ftyp) : std::map<uint64_t, ScanRegion>::iterator();
    if (!regions || region == regions->end()) continue;
    if (auto mdat = find_mdat(region->second, read))
      starts_[*ftyp] = {*ftyp + mdat->first, *ftyp + mdat->first + mdat->second};
  }
}

std::vector<ScanVideo> ScanVideoFinder::videos() const {
  std::vector<ScanVideo> out;
  for (const auto& [ftyp, mdat] : starts_) {
    auto next = ftyps_.upper_bound(ftyp);
    const uint64_t bound = next == ftyps_.end() ? UINT64_MAX : *next;
    auto moov = moovs_.lower_bound(mdat.end);
    if (moov == moovs_.end() || moov->first >= bound) continue;
    out.push_back({ftyp, mdat.offset, moov->first, moov->second});
  }
  return out;
}

Json thumbnail_videos_json(const std::vector<ScanVideo>& videos) {
  Json list = json_array();
  int index = 0;
  for (const ScanVideo& v : videos) {
    Json o = json_object();
    json_add_string(o.get(), "video_id", "ftyp-" + std::to_string(v.ftyp));
    json_add_number(o.get(), "video_index", ++index);
    json_add_number(o.get(), "ftyp_offset", static_cast<double>(v.ftyp));
    json_add_number(o.get(), "mdat_offset", static_cast<double>(v.mdat));
    json_add_number(o.get(), "moov_offset", static_cast<double>(v.moov));
    json_add_number(o.get(), "moov_size", static_cast<double>(v.moov_size));
    json_append(list.get(), std::move(o));
  }
  return list;
}

Json scan_folder_videos(const std::string& folder) {
  ScanVideoFinder finder;
  for (const std::string& c : scan_chunk_names(folder)) {
    Json record = scan_json_file(folder + "/chunks/" + c + ".json");
    std::ifstream regions(folder + "/chunks/" + c + ".regions.bin", std::ios::binary);
    finder.add_chunk(record.get(),
                     [&regions](uint64_t at, uint64_t size) { return read_at(regions, at, size); });
  }
  return thumbnail_videos_json(finder.videos());
}

}  // namespace halvex::server
