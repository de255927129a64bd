#include "scan/signatures.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

#include "core/coding.h"
#include "core/json.h"

namespace halvex {

namespace {

constexpr uint32_t kDefaultSectorSize = 512;
constexpr uint64_t kMinChunk = 32;       // bytes a chunk needs before any pass runs
constexpr uint64_t kBoxProbeBytes = 32;  // a box probe needs this many bytes from p
constexpr uint64_t kArwWindow = 2048;    // marker window after a TIFF header
constexpr uint64_t kDiskStartMinChunk = 512;
constexpr size_t kMaxTypeChars = 15;
constexpr size_t kInitialHits = 64;
// The fixed passes run over blocks of this size, which stay in the cache.
constexpr uint64_t kBlockBytes = 262144;

// An integer number clamped to 32 bits, the way every 32-bit member is read.
int32_t clamp_int32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= INT32_MAX) return INT32_MAX;
  if (v <= INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(v);
}

// An "align" of 2 or more as a step; 0 means "step by the magic's length".
uint64_t read_align(const cJSON* def) {
  if (!json_is_number(json_get(def, "align"))) return 0;
  double v = json_get_number(def, "align");
  if (!(v >= 2)) return 0;  // also NaN
  if (v >= 18446744073709551615.0) return UINT64_MAX;
  return static_cast<uint64_t>(v);
}

void read_generic(const cJSON* defs, std::vector<GenericSig>* out) {
  for (const cJSON* def = json_is_object(defs) ? json_first(defs) : nullptr; def != nullptr;
       def = json_next(def)) {
    if (!json_is_string(json_get(def, "magic"))) continue;
    std::optional<Bytes> magic = hex_decode(json_get_string(def, "magic"));
    if (!magic || magic->empty()) continue;
    out->push_back(GenericSig{json_member_name(def).substr(0, kMaxTypeChars), std::move(*magic),
                              read_align(def)});
  }
}

// The first chunk position whose disk offset is a multiple of `unit`.
uint64_t first_aligned(uint64_t chunk_offset, uint64_t unit) {
  uint64_t rest = chunk_offset % unit;
  return rest == 0 ? 0 : unit - rest;
}

// Calls visit(p) for the positions p = first, first + step, ... that lie in
// [from, to) and have p + need <= length, without overflowing however large
// step and length are.
template <typename Visit>
void for_each_probe(uint64_t first, uint64_t step, uint64_t need, uint64_t length, uint64_t from,
                    uint64_t to, Visit visit) {
  if (need > length) return;
  uint64_t last = std::min(length - need, to - 1);
  if (first > last) return;
  uint64_t p = first;
  if (from > first) {
    uint64_t steps = (from - first - 1) / step + 1;  // ceil((from - first) / step)
    if (steps > (last - first) / step) return;
    p = first + steps * step;
  }
  for (; p <= last; p += step) {
    visit(p);
    if (last - p < step) break;
  }
}

// A plain search: memmem is not in every C library (mingw has none), and
// the window is small and examined only after a TIFF header.
bool window_has(const uint8_t* window, const char* marker) {
  const uint8_t* m = reinterpret_cast<const uint8_t*>(marker);
  return std::search(window, window + kArwWindow, m, m + 4) != window + kArwWindow;
}

// Whether some position p in [0, kLanes) has bytes FF D8 at p and p + 1
// (reads kLanes + 1 bytes). Portable 16-byte vector code, which every 64-bit
// target has; four vectors per test keep the branch rare.
using Lanes = uint8_t __attribute__((vector_size(16)));
constexpr uint64_t kLanes = 4 * sizeof(Lanes);

bool has_ff_d8(const uint8_t* p) {
  Lanes ff, d8, any = {};
  std::memset(&ff, 0xFF, sizeof ff);
  std::memset(&d8, 0xD8, sizeof d8);
  for (uint64_t i = 0; i < kLanes; i += sizeof(Lanes)) {
    Lanes here, next;
    std::memcpy(&here, p + i, sizeof here);
    std::memcpy(&next, p + i + 1, sizeof next);
    any |= static_cast<Lanes>((here == ff) & (next == d8));
  }
  uint64_t words[2];
  std::memcpy(words, &any, sizeof words);
  return (words[0] | words[1]) != 0;
}

bool is_jpeg_marker(uint8_t m) {
  return m == 0xC0 || m == 0xC2 || m == 0xDB || m == 0xE0 || m == 0xE1 || m == 0xE2;
}

// One chunk being matched. The fixed passes run block by block, so that each
// block is read from memory once while it is in the cache; every pass keeps
// its own list, so the hit order is that of the passes run one after another.
struct Matcher {
  uint64_t o;
  const uint8_t* b;
  uint64_t l;
  const ScanConfig& c;
  ScanHits* hits;
  std::vector<ImageHit> arw, jpeg, xml;
  uint64_t jpeg_next = 0;  // n of the JPEG pass
  uint64_t kept = 0;       // hits in all lists together

  // Whether one more hit may be kept; counts it when so.
  bool room() {
    if (kept >= kScanMaxHits) {
      hits->truncated = true;
      return false;
    }
    kept++;
    return true;
  }

  void boxes(uint64_t from, uint64_t to) {
    for_each_probe(0, c.sector_size, kBoxProbeBytes, l, from, to, [&](uint64_t p) {
      uint32_t n = get_be32(b + p);
      if (std::memcmp(b + p + 4, "ftyp", 4) == 0 && n >= 16 && n <= 64 && room())
        hits->ftyp_offsets.push_back(o + p);
      if (std::memcmp(b + p + 4, "moov", 4) == 0 && n >= c.moov_min && n <= c.moov_max && room())
        hits->moov_hits.push_back(MoovHit{o + p, n});
    });
  }

  void tiff(uint64_t from, uint64_t to) {
    static const uint8_t kTiffLe[4] = {0x49, 0x49, 0x2A, 0x00};
    for_each_probe(first_aligned(o, c.sector_size), c.sector_size, kArwWindow, l, from, to,
                   [&](uint64_t p) {
                     if (std::memcmp(b + p, kTiffLe, 4) != 0) return;
                     if ((window_has(b + p, "SONY") || window_has(b + p, "ILCE")) && room())
                       arw.push_back({o + p, "ARW"});
                   });
  }

  // The JPEG pass as described: from n, find the next 0xFF at p <= l - 4;
  // FF D8 FF continues at p + 3, anything else at p + 1. Only an FF D8 FF at
  // p can make the pass pass over a position (p + 2), so it is enough to
  // visit the positions holding FF D8 in ascending order, skipping those
  // below n: those are rare, and a vector search finds them faster than
  // stopping at every 0xFF.
  void jpeg_candidate(uint64_t p) {
    if (p < jpeg_next || b[p + 2] != 0xFF) return;
    if (is_jpeg_marker(b[p + 3]) && room()) jpeg.push_back({o + p, "JPEG"});
    jpeg_next = p + 3;
  }

  void jpegs(uint64_t to) {
    if (l < 4) return;
    uint64_t end = std::min(to, l - 3);  // candidates p <= l - 4
    uint64_t p = std::min(std::max(jpeg_next, to - std::min(to, kBlockBytes)), end);
    for (; end - p >= kLanes; p += kLanes) {
      if (has_ff_d8(b + p))
        for (uint64_t k = 0; k < kLanes; k++)
          if (b[p + k] == 0xFF && b[p + k + 1] == 0xD8) jpeg_candidate(p + k);
    }
    for (; p < end; p++)
      if (b[p] == 0xFF && b[p + 1] == 0xD8) jpeg_candidate(p);
  }

  void xmls(uint64_t from, uint64_t to) {
    for_each_probe(first_aligned(o, c.sector_size), c.sector_size, 5, l, from, to, [&](uint64_t p) {
      if (std::memcmp(b + p, "<?xml", 5) == 0 && room()) xml.push_back({o + p, "XML"});
    });
  }

  void generic(const GenericSig& sig) {
    if (hits->truncated) return;  // a full list takes no more; spare the probes
    uint64_t m = sig.magic.size();
    uint64_t first = sig.align != 0 ? first_aligned(o, sig.align) : 0;
    uint64_t step = sig.align != 0 ? sig.align : m;
    for_each_probe(first, step, m, l, 0, l, [&](uint64_t p) {
      if (!hits->truncated && std::memcmp(b + p, sig.magic.data(), m) == 0 && room())
        hits->image_hits.push_back({o + p, sig.name});
    });
  }

  void run() {
    for (uint64_t from = 0; from < l; from += std::min(kBlockBytes, l - from)) {
      uint64_t to = from + std::min(kBlockBytes, l - from);
      jpegs(to);  // first: it streams the block into the cache for the probes
      boxes(from, to);
      if (c.arw_enabled) tiff(from, to);
      xmls(from, to);
    }
    for (std::vector<ImageHit>* group : {&arw, &jpeg, &xml})
      hits->image_hits.insert(hits->image_hits.end(), std::make_move_iterator(group->begin()),
                              std::make_move_iterator(group->end()));
    for (const GenericSig& sig : c.generic) generic(sig);
  }
};

// Up to 512 KiB from `offset`, cut at the chunk end.
ScanRegion hit_region(uint64_t o, const uint8_t* data, uint64_t l, uint64_t offset) {
  uint64_t size = std::min(o + l - offset, kScanHitRegionBytes);
  return ScanRegion{offset, offset + size, size, data + (offset - o)};
}

}  // namespace

ScanConfig scan_config_read(const cJSON* scan_config) {
  ScanConfig config;
  int32_t sector = json_get_int32(scan_config, "sector_size", kDefaultSectorSize);
  // A sector size of 0 or below would stall or divide by zero: use 512.
  config.sector_size = sector > 0 ? static_cast<uint32_t>(sector) : kDefaultSectorSize;

  const cJSON* range = json_get(scan_config, "moov_size_range");
  if (json_array_size(range) >= 2) {
    // Items are 32-bit integers compared unsigned, so -1 reads as 4294967295.
    config.moov_min =
        static_cast<uint32_t>(clamp_int32(json_number_value(json_array_item(range, 0))));
    config.moov_max =
        static_cast<uint32_t>(clamp_int32(json_number_value(json_array_item(range, 1))));
  }

  // Only JSON false turns the ARW probe off; 0, "no" or null leave it on.
  config.arw_enabled = json_get_bool(scan_config, "arw_enabled", true);

  const cJSON* defs = json_get(scan_config, "generic_sig_defs");
  if (json_is_object(defs)) read_generic(defs, &config.generic);
  return config;
}

ScanHits scan_signatures(uint64_t chunk_offset, const uint8_t* data, uint64_t length,
                         const ScanConfig& config) {
  ScanHits hits;
  hits.ftyp_offsets.reserve(kInitialHits);
  hits.moov_hits.reserve(kInitialHits);
  hits.image_hits.reserve(kInitialHits);
  if (length < kMinChunk || data == nullptr) return hits;

  Matcher{chunk_offset, data, length, config, &hits, {}, {}, {}, 0, 0}.run();
  return hits;
}

ScanHits scan_signatures(uint64_t chunk_offset, const uint8_t* data, uint64_t length,
                         const cJSON* scan_config) {
  return scan_signatures(chunk_offset, data, length, scan_config_read(scan_config));
}

std::vector<ScanRegion> build_regions(uint64_t chunk_offset, const uint8_t* data, uint64_t length,
                                      const ScanHits& hits) {
  std::vector<ScanRegion> regions;
  regions.reserve(kInitialHits);
  uint64_t o = chunk_offset;
  for (const MoovHit& hit : hits.moov_hits) {
    uint64_t p = hit.offset - o;
    // A box that runs past the chunk end stays a hit but gets no region;
    // so does one of size 0 (it has no bytes to send).
    if (hit.offset < o || p > length || length - p < hit.size || hit.size == 0) continue;
    regions.push_back(ScanRegion{hit.offset, hit.offset + hit.size, hit.size, data + p});
  }
  for (const ImageHit& hit : hits.image_hits) {
    if (hit.offset < o || hit.offset - o >= length) continue;
    regions.push_back(hit_region(o, data, length, hit.offset));
  }
  if (o == 0 && length >= kDiskStartMinChunk) {
    uint64_t size = std::min(length, kScanDiskStartBytes);
    regions.push_back(ScanRegion{0, size, size, data});
  }
  for (uint64_t offset : hits.ftyp_offsets) {
    if (offset < o || offset - o >= length) continue;
    regions.push_back(hit_region(o, data, length, offset));
  }
  return regions;
}

}  // namespace halvex
