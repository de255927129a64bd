// Which videos a scan's stored chunks name for thumbnails: the mdat box
// found after each ftyp box in its uploaded bytes, paired with the moov hit
// that follows it.
#include "server/uploads/scan_videos.h"

#include <gtest/gtest.h>

namespace halvex::server {
namespace {

// A box header: 32-bit size and type, or size 1 and a 64-bit size.
std::string box(uint64_t size, const char* type, bool large = false) {
  std::string out;
  const uint64_t field = large ? 1 : size;
  for (int i = 3; i >= 0; i--) out += static_cast<char>(field >> (8 * i));
  out += type;
  if (large)
    for (int i = 7; i >= 0; i--) out += static_cast<char>(size >> (8 * i));
  return out;
}

// The start of a recorder's file: ftyp (32), free (8), then an mdat header.
std::string head(uint64_t mdat_size, bool large = false) {
  return box(32, "ftyp") + std::string(24, 'f') + box(8, "free") + box(mdat_size, "mdat", large);
}

struct Chunk {
  std::vector<uint64_t> ftyps;
  std::map<uint64_t, uint64_t> moovs;                     // offset -> size
  std::vector<std::pair<uint64_t, std::string>> regions;  // disk start -> bytes
};

std::vector<ScanVideo> find(const std::vector<Chunk>& chunks) {
  ScanVideoFinder finder;
  for (const Chunk& c : chunks) {
    Json results = json_object(), ftyps = json_array(), moovs = json_object(), index = json_array();
    for (uint64_t f : c.ftyps) json_append(ftyps.get(), json_number(static_cast<double>(f)));
    for (const auto& [offset, size] : c.moovs)
      json_add_number(moovs.get(), std::to_string(offset).c_str(), static_cast<double>(size));
    std::string bin;
    for (const auto& [start, bytes] : c.regions) {
      Json r = json_object();
      json_add_number(r.get(), "start", static_cast<double>(start));
      json_add_number(r.get(), "size", static_cast<double>(bytes.size()));
      json_append(index.get(), std::move(r));
      bin += bytes;
    }
    json_add_item(results.get(), "ftyp_list", std::move(ftyps));
    json_add_item(results.get(), "moov_dict", std::move(moovs));
    Json record = json_object();
    json_add_item(record.get(), "scan_results", std::move(results));
    json_add_item(record.get(), "region_index", std::move(index));
    finder.add_chunk(record.get(),
                     [&bin](uint64_t at, uint64_t size) { return bin.substr(at, size); });
  }
  return finder.videos();
}

TEST(ScanVideosTest, FtypThenMdatThenMoov) {
  const uint64_t F = 1 << 20, G = 8 << 20;  // two ftyp boxes
  const struct {
    const char* what;
    std::vector<Chunk> chunks;
    std::vector<ScanVideo> want;
  } cases[] = {
      {"moov where the mdat ends",
       {{{F}, {{F + 1040, 900}}, {{F, head(1000)}}}},
       {{F, F + 40, F + 1040, 900}}},
      {"moov after padding",
       {{{F}, {{F + 1536, 900}}, {{F, head(1000)}}}},
       {{F, F + 40, F + 1536, 900}}},
      {"64-bit mdat size",
       {{{F}, {{F + 40 + (5ull << 32), 900}}, {{F, head(5ull << 32, true)}}}},
       {{F, F + 40, F + 40 + (5ull << 32), 900}}},
      {"moov in a later chunk, chunks out of order",
       {{{}, {{F + 1040, 900}}, {}}, {{F}, {}, {{F, head(1000)}}}},
       {{F, F + 40, F + 1040, 900}}},
      {"a moov hit inside the mdat is not its moov",
       {{{F}, {{F + 500, 900}}, {{F, head(1000)}}}},
       {}},
      {"the moov after the next ftyp is that one's",
       {{{F, G}, {{G + 2000, 900}}, {{F, head(1000)}}}},
       {}},
      {"each ftyp its own moov",
       {{{F, G}, {{F + 1040, 900}, {G + 1040, 800}}, {{F, head(1000)}, {G, head(1000)}}}},
       {{F, F + 40, F + 1040, 900}, {G, G + 40, G + 1040, 800}}},
      {"moov before mdat (nothing to copy)",
       {{{F}, {{F + 32, 900}}, {{F, box(32, "ftyp") + std::string(24, 'f') + box(8, "moov")}}}},
       {}},
      {"no region at the ftyp", {{{F}, {{F + 1040, 900}}, {}}}, {}},
      {"the region does not start with ftyp",
       {{{F}, {{F + 1040, 900}}, {{F, box(8, "free") + head(1000)}}}},
       {}},
      {"a box smaller than its header",
       {{{F}, {{F + 1040, 900}}, {{F, box(32, "ftyp") + std::string(24, 'f') + box(4, "free")}}}},
       {}},
      {"an mdat size past any disk", {{{F}, {{F + 1040, 900}}, {{F, head(~0ull, true)}}}}, {}},
      {"mdat header cut at the region's end",
       {{{F}, {{F + 1040, 900}}, {{F, head(1000).substr(0, 44)}}}},
       {}},
  };
  for (const auto& c : cases) EXPECT_EQ(find(c.chunks), c.want) << c.what;
}

TEST(ScanVideosTest, RequestNamesEachVideoByItsOffsets) {
  Json v = thumbnail_videos_json({{100, 140, 2000, 900}, {5000, 5040, 9000, 800}});
  EXPECT_EQ(json_print(v.get()),
            R"([{"video_id":"ftyp-100","video_index":1,"ftyp_offset":100,"mdat_offset":140,)"
            R"("moov_offset":2000,"moov_size":900},{"video_id":"ftyp-5000","video_index":2,)"
            R"("ftyp_offset":5000,"mdat_offset":5040,"moov_offset":9000,"moov_size":800}])");
}

}  // namespace
}  // namespace halvex::server
