// The matcher and the region selection on hand-made chunks.

#include "scan/signatures.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/json.h"

namespace halvex {
namespace {

constexpr uint64_t kMiB = 1048576;

// A zero-filled chunk; bytes put past its end are cut off, as in a real chunk.
struct Chunk {
  explicit Chunk(uint64_t length) : bytes(length, 0) {}
  Chunk& put(uint64_t pos, const std::vector<uint8_t>& b) {
    for (size_t i = 0; i < b.size() && pos + i < bytes.size(); i++) bytes[pos + i] = b[i];
    return *this;
  }
  Chunk& put(uint64_t pos, const std::string& s) {
    return put(pos, std::vector<uint8_t>(s.begin(), s.end()));
  }
  std::vector<uint8_t> bytes;
};

std::vector<uint8_t> box(uint32_t size, const char* type) {
  return {static_cast<uint8_t>(size >> 24), static_cast<uint8_t>(size >> 16),
          static_cast<uint8_t>(size >> 8),  static_cast<uint8_t>(size),
          static_cast<uint8_t>(type[0]),    static_cast<uint8_t>(type[1]),
          static_cast<uint8_t>(type[2]),    static_cast<uint8_t>(type[3])};
}

const std::vector<uint8_t> kTiffLe = {0x49, 0x49, 0x2A, 0x00};

ScanHits scan(uint64_t offset, const Chunk& c, const char* config = nullptr) {
  Json json = config != nullptr ? json_parse(config) : nullptr;
  EXPECT_TRUE(config == nullptr || json) << config;
  return scan_signatures(offset, c.bytes.data(), c.bytes.size(), json.get());
}

std::vector<std::pair<uint64_t, std::string>> images(const ScanHits& h) {
  std::vector<std::pair<uint64_t, std::string>> out;
  for (const ImageHit& hit : h.image_hits) out.emplace_back(hit.offset, hit.type);
  return out;
}

using Images = std::vector<std::pair<uint64_t, std::string>>;

TEST(ScanSignatures, ShortChunkHasNoHitsAndNoRegions) {
  Chunk c(31);
  c.put(0, box(16, "ftyp")).put(8, std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xE1});
  ScanHits h = scan(0, c);
  EXPECT_TRUE(h.ftyp_offsets.empty() && h.moov_hits.empty() && h.image_hits.empty());
  EXPECT_TRUE(build_regions(0, c.bytes.data(), c.bytes.size(), h).empty());
  Chunk c32(32);
  c32.put(0, box(16, "ftyp"));
  EXPECT_EQ(scan(0, c32).ftyp_offsets, std::vector<uint64_t>{0});
}

TEST(ScanSignatures, FtypAndMoovBoxSizesAtTheLimits) {
  struct Case {
    const char* config;
    const char* type;
    uint32_t size;
    bool found;
  } cases[] = {
      {nullptr, "ftyp", 15, false},
      {nullptr, "ftyp", 16, true},
      {nullptr, "ftyp", 64, true},
      {nullptr, "ftyp", 65, false},
      {nullptr, "ftyp", 0x10000000, false},  // 16 read little-endian
      {nullptr, "moov", 999, false},
      {nullptr, "moov", 1000, true},
      {nullptr, "moov", 52428800, true},  // far past the chunk end: still a hit
      {nullptr, "moov", 52428801, false},
      {R"({"moov_size_range":[5000]})", "moov", 1000, true},  // one item: defaults
      {R"({"moov_size_range":[5000]})", "moov", 52428800, true},
      {R"({"moov_size_range":"5000"})", "moov", 999, false},
      {R"({"moov_size_range":[5000,6000]})", "moov", 4999, false},
      {R"({"moov_size_range":[5000,6000]})", "moov", 5000, true},
      {R"({"moov_size_range":[5000,6000]})", "moov", 6000, true},
      {R"({"moov_size_range":[5000,6000]})", "moov", 6001, false},
      {R"({"moov_size_range":["a",6000]})", "moov", 1, true},        // a non-number counts as 0
      {R"({"moov_size_range":[-1,-1]})", "moov", 0xFFFFFFFF, true},  // compared unsigned
      {R"({"moov_size_range":[-1,-1]})", "moov", 0x7FFFFFFF, false},
  };
  for (const Case& k : cases) {
    Chunk c(2048);
    c.put(1024, box(k.size, k.type));
    ScanHits h = scan(7 * kMiB, c, k.config);
    bool ftyp = std::string(k.type) == "ftyp";
    size_t found = ftyp ? h.ftyp_offsets.size() : h.moov_hits.size();
    EXPECT_EQ(found, k.found ? 1u : 0u)
        << k.type << " " << k.size << " " << (k.config ? k.config : "");
    if (!k.found) continue;
    EXPECT_EQ(ftyp ? h.ftyp_offsets[0] : h.moov_hits[0].offset, 7 * kMiB + 1024);
    if (!ftyp) {
      EXPECT_EQ(h.moov_hits[0].size, k.size);
    }
  }
}

// Boxes are probed at chunk positions 0, S, 2S; ARW and XML at disk offsets
// that are multiples of S, which differ when the chunk offset is unaligned.
TEST(ScanSignatures, ProbePositionsOnAnUnalignedChunk) {
  const uint64_t o = 1000000 * 512ull + 100;  // disk offset 100 past a sector start
  const uint64_t aligned = 412;               // chunk position of the next sector start
  Chunk c(8192);
  c.put(512, box(16, "ftyp")).put(1024, box(2000, "moov"));
  c.put(aligned + 1024, box(16, "ftyp"));  // aligned on the disk, not in the chunk
  c.put(aligned, "<?xml").put(1536, "<?xml");
  c.put(aligned + 2048, kTiffLe).put(aligned + 2048 + 100, "SONY");
  c.put(4096, kTiffLe).put(4096 + 100, "SONY");  // chunk-aligned only
  ScanHits h = scan(o, c);
  EXPECT_EQ(h.ftyp_offsets, std::vector<uint64_t>{o + 512});
  ASSERT_EQ(h.moov_hits.size(), 1u);
  EXPECT_EQ(h.moov_hits[0].offset, o + 1024);
  EXPECT_EQ(images(h), (Images{{o + aligned + 2048, "ARW"}, {o + aligned, "XML"}}));
}

TEST(ScanSignatures, LastProbePositionsNeedTheirBytes) {
  // A box probe needs 32 bytes from its position, an XML probe 5.
  struct Case {
    uint64_t length;
    bool xml;
    size_t found;
  } cases[] = {{544, false, 1}, {543, false, 0}, {517, true, 1}, {516, true, 0}};
  for (const Case& k : cases) {
    Chunk c(k.length);
    k.xml ? c.put(512, "<?xml") : c.put(512, box(16, "ftyp"));
    ScanHits h = scan(0, c);
    EXPECT_EQ(k.xml ? h.image_hits.size() : h.ftyp_offsets.size(), k.found) << k.length;
  }
}

TEST(ScanSignatures, JpegMarkersAndPositions) {
  struct Case {
    std::vector<uint8_t> bytes;
    uint64_t pos;
    std::vector<uint64_t> hits;  // chunk positions
  } cases[] = {
      {{0xFF, 0xD8, 0xFF, 0xE1}, 1001, {1001}},  // odd position
      {{0xFF, 0xD8, 0xFF, 0xDB}, 0, {0}},
      {{0xFF, 0xD8, 0xFF, 0xC0}, 7, {7}},
      {{0xFF, 0xD8, 0xFF, 0xC2}, 7, {7}},
      {{0xFF, 0xD8, 0xFF, 0xE0}, 7, {7}},
      {{0xFF, 0xD8, 0xFF, 0xE2}, 7, {7}},
      {{0xFF, 0xD8, 0xFF, 0xC4}, 7, {}},
      {{0xFF, 0xD8, 0xFF, 0xFE}, 7, {}},
      {{0xFF, 0xFF, 0xD8, 0xFF, 0xE0}, 7, {8}},  // a lone FF before the start
      // After FF D8 FF the search goes on 3 bytes later, so the start at
      // position 2 of FF D8 FF D8 FF E1 is passed over.
      {{0xFF, 0xD8, 0xFF, 0xD8, 0xFF, 0xE1}, 0, {}},
      {{0xFF, 0xD8, 0xFF, 0xFF, 0xD8, 0xFF, 0xE1}, 0, {3}},
      {{0xFF, 0xD8, 0xFF, 0xE1}, 4092, {4092}},  // the last 4 bytes
      {{0xFF, 0xD8, 0xFF}, 4093, {}},
  };
  for (const Case& k : cases) {
    Chunk c(4096);
    c.put(k.pos, k.bytes);
    Images want;
    for (uint64_t p : k.hits) want.emplace_back(p + 3, "JPEG");
    EXPECT_EQ(images(scan(3, c)), want) << "at " << k.pos;
  }
}

TEST(ScanSignatures, ArwMarkerWindowAndSwitch) {
  struct Case {
    const char* marker;
    uint64_t marker_at;  // from the TIFF header
    uint64_t length;     // chunk length; the header sits at 512
    const char* config;
    bool found;
  } cases[] = {
      {"SONY", 2044, 4096, nullptr, true},
      {"SONY", 2045, 4096, nullptr, false},
      {"ILCE", 2044, 4096, nullptr, true},
      {"ILCE", 4, 4096, nullptr, true},
      {"SONY", 4, 512 + 2048, nullptr, true},  // the window just fits
      {"SONY", 4, 512 + 2047, nullptr, false},
      {"SONY", 4, 4096, R"({"arw_enabled":false})", false},
      {"SONY", 4, 4096, R"({"arw_enabled":0})", true},
      {"SONY", 4, 4096, R"({"arw_enabled":"false"})", true},
      {"SONY", 4, 4096, R"({"arw_enabled":true})", true},
      {"sony", 4, 4096, nullptr, false},
  };
  for (const Case& k : cases) {
    Chunk c(k.length);
    c.put(512, kTiffLe).put(512 + k.marker_at, std::string(k.marker));
    c.put(3000 < k.length - 4 ? 3000 : 0, std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xE0});
    ScanHits h = scan(0, c, k.config);
    bool arw = !h.image_hits.empty() && h.image_hits[0].type == "ARW";
    EXPECT_EQ(arw, k.found) << k.marker << " at " << k.marker_at << " len " << k.length;
    if (arw) {
      EXPECT_EQ(h.image_hits[0].offset, 512u);
    }
    EXPECT_EQ(h.image_hits.back().type, "JPEG");  // the switch leaves JPEG alone
  }
  Chunk big_endian(4096);
  big_endian.put(512, std::vector<uint8_t>{0x4D, 0x4D, 0x00, 0x2A}).put(600, "SONY");
  EXPECT_TRUE(scan(0, big_endian).image_hits.empty());
}

TEST(ScanSignatures, SectorSizeFallsBackTo512) {
  struct Case {
    const char* config;
    uint64_t step;
  } cases[] = {
      {R"({"sector_size":0})", 512},    {R"({"sector_size":-4096})", 512},
      {R"({"sector_size":"64"})", 512}, {R"({"sector_size":null})", 512},
      {R"({"sector_size":64})", 64},    {R"({"sector_size":1})", 1},
  };
  for (const Case& k : cases) {
    Chunk c(4096);
    c.put(64, box(16, "ftyp")).put(512, box(16, "ftyp")).put(1, box(20, "ftyp"));
    std::vector<uint64_t> want;
    if (k.step == 1) want.push_back(1);
    if (k.step <= 64) want.push_back(64);
    want.push_back(512);
    EXPECT_EQ(scan(0, c, k.config).ftyp_offsets, want) << k.config;
  }
  EXPECT_EQ(scan_config_read(json_parse(R"({"sector_size":-1})").get()).sector_size, 512u);
}

TEST(ScanSignatures, GenericSignatures) {
  // The 4-byte magic 0A BC 0D 0E sits at chunk positions 0, 10 and 56 (the
  // last that fits); a lone 0A BC sits at the odd position 5.
  const char* four = R"({"generic_sig_defs":{"four":{"magic":"0aBC0d0e"%s}}})";
  auto with = [&](const char* extra) {
    char text[200];
    std::snprintf(text, sizeof text, four, extra);
    return std::string(text);
  };
  struct Case {
    std::string config;
    uint64_t chunk_offset;
    Images want;  // chunk positions
  } cases[] = {
      // Without a usable "align": steps of the magic's length from the chunk start.
      {with(""), 3, {{0, "four"}, {56, "four"}}},
      {with(R"(,"align":1)"), 3, {{0, "four"}, {56, "four"}}},
      {with(R"(,"align":"2")"), 3, {{0, "four"}, {56, "four"}}},
      {with(R"(,"align":-8)"), 3, {{0, "four"}, {56, "four"}}},
      // With "align": multiples of it on the disk, wherever the chunk starts.
      {with(R"(,"align":2)"), 4, {{0, "four"}, {10, "four"}, {56, "four"}}},
      {with(R"(,"align":2)"), 3, {}},
      {with(R"(,"align":4)"), 2, {{10, "four"}}},
      {with(R"(,"align":4)"), 4, {{0, "four"}, {56, "four"}}},
      {R"({"generic_sig_defs":{"two":{"magic":"0aBC"}}})",
       0,
       {{0, "two"}, {10, "two"}, {56, "two"}}},
      {R"({"generic_sig_defs":{"odd":{"magic":"abc"},"bad":{"magic":"zz"},"none":{"magic":""},)"
       R"("num":{"magic":12},"no":{},"str":"0aBC"}})",
       0,
       {}},
      {R"({"generic_sig_defs":{"abcdefghijklmnopqrst":{"magic":"0aBC0d0e"}}})",
       0,
       {{0, "abcdefghijklmno"}, {56, "abcdefghijklmno"}}},
      // Document order, each signature's hits by position.
      {R"({"generic_sig_defs":{"z":{"magic":"0d0e"},"a":{"magic":"0AbC"}}})",
       0,
       {{2, "z"}, {12, "z"}, {58, "z"}, {0, "a"}, {10, "a"}, {56, "a"}}},
      {R"({"generic_sig_defs":[{"magic":"0aBC"}]})", 0, {}},
      {R"({"generic_sig_defs":{"q\"k":{"magic":"0d0e0000"}}})", 0, {{12, "q\"k"}}},
  };
  const std::vector<uint8_t> magic = {0x0A, 0xBC, 0x0D, 0x0E};
  for (const Case& k : cases) {
    Chunk c(60);
    c.put(0, magic).put(10, magic).put(56, magic).put(5, std::vector<uint8_t>{0x0A, 0xBC});
    Images want;
    for (auto& [p, name] : k.want) want.emplace_back(k.chunk_offset + p, name);
    EXPECT_EQ(images(scan(k.chunk_offset, c, k.config.c_str())), want) << k.config;
  }
}

TEST(ScanSignatures, ImageHitsComeGroupedByKind) {
  Chunk c(8192);
  c.put(1024, "<?xml").put(4096, std::vector<uint8_t>{0x11, 0x22});
  c.put(100, std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xE0})
      .put(5000, std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xDB});
  c.put(2048, kTiffLe).put(2100, "ILCE");
  ScanHits h = scan(0, c, R"({"generic_sig_defs":{"g":{"magic":"1122"}}})");
  EXPECT_EQ(images(h),
            (Images{{2048, "ARW"}, {100, "JPEG"}, {5000, "JPEG"}, {1024, "XML"}, {4096, "g"}}));
}

// The fixed passes written the plain way, one after another over the whole
// chunk, straight from their description. The matcher runs them block by
// block with a vector search; both must agree on every chunk.
ScanHits reference_scan(uint64_t o, const std::vector<uint8_t>& b, uint64_t s) {
  ScanHits h;
  const uint64_t l = b.size();
  const uint64_t p0 = o % s == 0 ? 0 : s - o % s;
  auto be32 = [&](uint64_t p) {
    return uint32_t{b[p]} << 24 | uint32_t{b[p + 1]} << 16 | uint32_t{b[p + 2]} << 8 | b[p + 3];
  };
  for (uint64_t p = 0; p + 32 <= l; p += s) {
    if (std::memcmp(&b[p + 4], "ftyp", 4) == 0 && be32(p) >= 16 && be32(p) <= 64)
      h.ftyp_offsets.push_back(o + p);
    if (std::memcmp(&b[p + 4], "moov", 4) == 0 && be32(p) >= 1000 && be32(p) <= 52428800)
      h.moov_hits.push_back({o + p, be32(p)});
  }
  for (uint64_t p = p0; p + 2048 <= l; p += s) {
    if (b[p] != 0x49 || b[p + 1] != 0x49 || b[p + 2] != 0x2A || b[p + 3] != 0) continue;
    bool found = false;
    for (uint64_t q = p; q <= p + 2044; q++)
      found = found || std::memcmp(&b[q], "SONY", 4) == 0 || std::memcmp(&b[q], "ILCE", 4) == 0;
    if (found) h.image_hits.push_back({o + p, "ARW"});
  }
  for (uint64_t n = 0; n + 4 <= l;) {
    uint64_t p = n;
    while (p <= l - 4 && b[p] != 0xFF) p++;
    if (p > l - 4) break;
    if (b[p + 1] == 0xD8 && b[p + 2] == 0xFF) {
      uint8_t m = b[p + 3];
      if (m == 0xC0 || m == 0xC2 || m == 0xDB || m == 0xE0 || m == 0xE1 || m == 0xE2)
        h.image_hits.push_back({o + p, "JPEG"});
      n = p + 3;
    } else {
      n = p + 1;
    }
  }
  for (uint64_t p = p0; p + 5 <= l; p += s)
    if (std::memcmp(&b[p], "<?xml", 5) == 0) h.image_hits.push_back({o + p, "XML"});
  return h;
}

TEST(ScanSignatures, AgreesWithThePlainPassesOnRandomChunks) {
  std::mt19937_64 rng(7);
  const std::vector<std::vector<uint8_t>> planted = {{0xFF, 0xD8, 0xFF, 0xE0},
                                                     {0xFF, 0xD8, 0xFF, 0xD8, 0xFF, 0xE1},
                                                     {0xFF, 0xD8, 0xFF, 0xFF, 0xD8, 0xFF, 0xDB},
                                                     {0xFF, 0xD8, 0xFF, 0xC4},
                                                     {0xFF, 0xFF, 0xD8},
                                                     {'<', '?', 'x', 'm', 'l'},
                                                     {'S', 'O', 'N', 'Y'},
                                                     {0x49, 0x49, 0x2A, 0x00},
                                                     {0, 0, 0, 40, 'f', 't', 'y', 'p'},
                                                     {0, 0, 16, 0, 'm', 'o', 'o', 'v'}};
  for (uint64_t s : {512u, 4096u, 1u, 3u, 1000u}) {
    for (int round = 0; round < 4; round++) {
      uint64_t o = rng() % (uint64_t{1} << 40);
      std::vector<uint8_t> b(600000 + rng() % 100);  // more than two blocks of 256 KiB
      for (uint8_t& x : b) x = static_cast<uint8_t>(rng() % 4 == 0 ? 0xFF : rng());
      for (int i = 0; i < 3000; i++) {
        const std::vector<uint8_t>& what = planted[rng() % planted.size()];
        uint64_t at = rng() % (b.size() - what.size());
        if (i % 3 == 0) at = 262144 - rng() % 8;  // across the first block edge
        if (i % 3 == 1 && what[0] != 0xFF) at = (at / s) * s + (s - o % s) % s;  // sector-aligned
        if (at + what.size() <= b.size())
          std::copy(what.begin(), what.end(), b.begin() + static_cast<ptrdiff_t>(at));
      }
      char config[64];
      std::snprintf(config, sizeof config, R"({"sector_size":%llu})",
                    static_cast<unsigned long long>(s));
      Json json = json_parse(config);
      ScanHits got = scan_signatures(o, b.data(), b.size(), json.get());
      ScanHits want = reference_scan(o, b, s);
      EXPECT_EQ(got.ftyp_offsets, want.ftyp_offsets) << "S=" << s;
      ASSERT_EQ(got.moov_hits.size(), want.moov_hits.size()) << "S=" << s;
      EXPECT_EQ(images(got), images(want)) << "S=" << s;
      EXPECT_GT(want.image_hits.size(), 100u);  // the chunk did exercise the passes
    }
  }
}

struct RegionCase {
  const char* name;
  uint64_t chunk_offset;
  uint64_t length;
  std::vector<std::pair<uint64_t, std::vector<uint8_t>>> puts;  // chunk positions
  std::vector<std::pair<uint64_t, uint64_t>> want;              // absolute start, end
};

TEST(BuildRegions, OrderAndLengths) {
  const std::vector<uint8_t> jpeg = {0xFF, 0xD8, 0xFF, 0xE0};
  const uint64_t o = 4 * kMiB;
  RegionCase cases[] = {
      {"nothing away from the disk start", 512, 4096, {}, {}},
      {"disk start, short chunk", 0, 511, {}, {}},
      {"disk start, 512 bytes", 0, 512, {}, {{0, 512}}},
      {"disk start, cut at 4 MiB", 0, 5 * kMiB, {}, {{0, 4 * kMiB}}},
      {"image hit cut at the chunk end",
       o,
       kMiB,
       {{kMiB - 100, jpeg}},
       {{o + kMiB - 100, o + kMiB}}},
      {"image hit of 512 KiB", o, kMiB, {{10, jpeg}}, {{o + 10, o + 10 + 524288}}},
      {"moov inside, image, ftyp",
       o,
       kMiB,
       {{512, box(16, "ftyp")}, {1024, box(4096, "moov")}, {77, jpeg}},
       {{o + 1024, o + 1024 + 4096}, {o + 77, o + 77 + 524288}, {o + 512, o + 512 + 524288}}},
      {"moov ending at the chunk end",
       o,
       8192,
       {{4096, box(4096, "moov")}},
       {{o + 4096, o + 8192}}},
      {"moov one byte past the chunk end", o, 8192, {{4096, box(4097, "moov")}}, {}},
      {"20 MiB moov 1 MiB before the chunk end",
       o,
       4 * kMiB,
       {{3 * kMiB, box(20 * kMiB, "moov")}},
       {}},
      {"disk start between images and ftyp",
       0,
       8192,
       {{512, box(16, "ftyp")}, {3, jpeg}},
       {{3, 8192}, {0, 8192}, {512, 8192}}},
  };
  for (const RegionCase& k : cases) {
    Chunk c(k.length);
    for (auto& [p, b] : k.puts) c.put(p, b);
    ScanHits h = scan(k.chunk_offset, c);
    std::vector<ScanRegion> regions = build_regions(k.chunk_offset, c.bytes.data(), k.length, h);
    std::vector<std::pair<uint64_t, uint64_t>> got;
    for (const ScanRegion& r : regions) {
      got.emplace_back(r.start, r.end);
      EXPECT_EQ(r.size, r.end - r.start) << k.name;
      EXPECT_EQ(r.data, c.bytes.data() + (r.start - k.chunk_offset)) << k.name << ": a view";
    }
    EXPECT_EQ(got, k.want) << k.name;
  }
}

// Chunks with more hits than the matcher keeps: the first kScanMaxHits
// found stay, the result says it was cut, and every region belongs to a
// kept hit. Without the bound a blank 64 MiB chunk and a one-byte
// signature make 67 million hits and the process runs out of memory.
TEST(ScanSignatures, HitsAreBoundedPerChunk) {
  Chunk jpegs(4 * kMiB);  // 1048576 JPEG starts
  const uint8_t jpeg[4] = {0xFF, 0xD8, 0xFF, 0xE0};
  for (uint64_t p = 0; p + 4 <= jpegs.bytes.size(); p += 4) std::memcpy(&jpegs.bytes[p], jpeg, 4);
  Chunk with_ftyp(2 * kMiB);
  with_ftyp.put(0, box(32, "ftyp"));
  struct Case {
    const char* name;
    const Chunk& chunk;
    const char* config;
    uint64_t kept;
    bool truncated;
    const char* first_type;
    uint64_t last_offset;  // chunk position of the last image hit kept
  };
  const Chunk zeros(2 * kMiB);
  const Chunk exactly(kScanMaxHits);
  const char* one_byte = R"({"generic_sig_defs":{"zero":{"magic":"00"}}})";
  const std::vector<Case> cases = {
      {"one-byte magic on a blank chunk", zeros, one_byte, kScanMaxHits, true, "zero",
       kScanMaxHits - 1},
      {"exactly the limit", exactly, one_byte, kScanMaxHits, false, "zero", kScanMaxHits - 1},
      {"JPEG starts, then a signature that finds no room", jpegs,
       R"({"generic_sig_defs":{"ff":{"magic":"ff"}}})", kScanMaxHits, true, "JPEG",
       4 * (kScanMaxHits - 1)},
      // The ftyp box counts too, so one generic hit fewer fits; its header
      // leaves zeros at 0..2 and from 8 on.
      {"ftyp first", with_ftyp, one_byte, kScanMaxHits, true, "zero", kScanMaxHits + 3},
  };
  const uint64_t o = 64 * kMiB;  // not the disk start, so no 4 MiB region
  for (const Case& c : cases) {
    ScanHits h = scan(o, c.chunk, c.config);
    uint64_t kept = h.ftyp_offsets.size() + h.moov_hits.size() + h.image_hits.size();
    EXPECT_EQ(kept, c.kept) << c.name;
    EXPECT_EQ(h.truncated, c.truncated) << c.name;
    ASSERT_FALSE(h.image_hits.empty()) << c.name;
    EXPECT_EQ(h.image_hits.front().type, c.first_type) << c.name;
    EXPECT_EQ(h.image_hits.back().offset, o + c.last_offset) << c.name;
    for (const ImageHit& hit : h.image_hits) ASSERT_EQ(hit.type, c.first_type) << c.name;

    std::vector<ScanRegion> regions =
        build_regions(o, c.chunk.bytes.data(), c.chunk.bytes.size(), h);
    ASSERT_EQ(regions.size(), kept) << c.name;
    for (size_t i = 0; i < h.image_hits.size(); i++)
      ASSERT_EQ(regions[i].start, h.image_hits[i].offset) << c.name;
    for (size_t i = 0; i < h.ftyp_offsets.size(); i++)
      EXPECT_EQ(regions[h.image_hits.size() + i].start, h.ftyp_offsets[i]) << c.name;
  }
}

}  // namespace
}  // namespace halvex
