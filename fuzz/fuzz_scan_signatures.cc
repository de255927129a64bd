// The matcher with arbitrary configuration and chunk bytes. Input layout:
// 8 bytes chunk offset (little-endian), 2 bytes configuration length n, n
// bytes of configuration text (JSON, or anything), then the chunk. Every hit
// and region must lie inside the chunk, regions must be views of the chunk
// buffer, and ftyp offsets come in ascending order.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/json.h"
#include "fuzz/fuzz_support.h"
#include "scan/signatures.h"

using halvex::fuzz::check;

namespace {

bool inside(uint64_t o, uint64_t len, uint64_t offset) { return offset >= o && offset - o < len; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 10) return 0;
  uint64_t o = 0;
  for (int i = 7; i >= 0; i--) o = o << 8 | data[i];
  size_t n = std::min<size_t>(size - 10, size_t{data[8]} | size_t{data[9]} << 8);
  halvex::Json config =
      halvex::json_parse(std::string_view(reinterpret_cast<const char*>(data + 10), n));
  const uint8_t* chunk = data + 10 + n;
  uint64_t len = size - 10 - n;
  o = len > UINT64_MAX - o ? UINT64_MAX - len : o;  // the chunk lies on the disk

  halvex::ScanHits hits = halvex::scan_signatures(o, chunk, len, config.get());
  if (len < 32)
    check(hits.ftyp_offsets.empty() && hits.moov_hits.empty() && hits.image_hits.empty(),
          "a short chunk has no hits");
  for (size_t i = 0; i < hits.ftyp_offsets.size(); i++) {
    check(inside(o, len, hits.ftyp_offsets[i]), "ftyp inside the chunk");
    check(i == 0 || hits.ftyp_offsets[i - 1] < hits.ftyp_offsets[i], "ftyp ascending");
  }
  for (const halvex::MoovHit& m : hits.moov_hits)
    check(inside(o, len, m.offset), "moov inside the chunk");
  for (size_t i = 0; i < hits.image_hits.size(); i++) {
    const halvex::ImageHit& h = hits.image_hits[i];
    check(inside(o, len, h.offset), "image hit inside the chunk");
    check(h.type.size() <= 15, "type of at most 15 characters");  // a key may be ""
  }

  std::vector<halvex::ScanRegion> regions = halvex::build_regions(o, chunk, len, hits);
  for (const halvex::ScanRegion& r : regions) {
    check(r.size == r.end - r.start && r.size > 0, "size is end - start");
    check(inside(o, len, r.start) && r.end - o <= len, "region inside the chunk");
    check(r.data == chunk + (r.start - o), "region is a view of the chunk");
  }
  return 0;
}
