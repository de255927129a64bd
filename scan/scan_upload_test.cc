// The chunk upload body: exact bytes, a body with hits taken apart as the
// server does, the JSON texts as cJSON prints them, and the size limits.

#include "scan/scan_upload.h"

#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "core/json.h"

namespace halvex {
namespace {

const char kBoundary[] = "----ScanBoundary0123abcd4567";

std::string body_text(const ScanUploadBody& body) {
  return std::string(reinterpret_cast<const char*>(body.data.get()), body.size);
}

std::string text_field(const std::string& name, const std::string& value) {
  return std::string("--") + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name +
         "\"\r\n\r\n" + value + "\r\n";
}

TEST(ScanUpload, ChunkWithoutHitsIsExact) {
  ScanUploadFields fields{kBoundary, "", 8589934592, 67108864};
  ScanUploadBody body;
  std::string error;
  ASSERT_TRUE(scan_upload_body(fields, ScanHits{}, {}, &body, &error)) << error;
  const std::string want =
      text_field("scan_id", "") + text_field("offset", "8589934592") +
      text_field("chunk_size", "67108864") +
      text_field("scan_results", R"({"ftyp_list":[],"moov_dict":{},"image_sigs":[]})") +
      text_field("region_index", "[]") +
      "------ScanBoundary0123abcd4567\r\nContent-Disposition: form-data; name=\"regions\"; "
      "filename=\"regions.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n"
      "\r\n------ScanBoundary0123abcd4567--\r\n";
  EXPECT_EQ(body_text(body), want);
  EXPECT_EQ(scan_upload_body_size(fields, ScanHits{}, {}), want.size());
  EXPECT_EQ(scan_upload_content_type(kBoundary),
            "multipart/form-data; boundary=----ScanBoundary0123abcd4567");
}

// A real chunk through the matcher: the regions' bytes back to back, in
// region order, each the chunk's bytes at its offset.
TEST(ScanUpload, RegionsBinFollowsRegionIndex) {
  const uint64_t chunk_offset = 3 * 1048576;
  std::vector<uint8_t> chunk(2 * 1048576);
  for (size_t i = 0; i < chunk.size(); i++) chunk[i] = static_cast<uint8_t>(i * 7 + i / 4096);
  const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xE0};
  const uint8_t ftyp[] = {0, 0, 0, 24, 'f', 't', 'y', 'p'};
  const uint8_t moov[] = {0, 0, 0x10, 0, 'm', 'o', 'o', 'v'};  // 4096 bytes
  std::copy(std::begin(jpeg), std::end(jpeg), chunk.begin() + 1001);
  std::copy(std::begin(jpeg), std::end(jpeg),
            chunk.begin() + 1900000);  // region cut at the chunk end
  std::copy(std::begin(ftyp), std::end(ftyp), chunk.begin() + 512 * 9);
  std::copy(std::begin(moov), std::end(moov), chunk.begin() + 512 * 40);
  ScanHits hits = scan_signatures(chunk_offset, chunk.data(), chunk.size(), nullptr);
  std::vector<ScanRegion> regions = build_regions(chunk_offset, chunk.data(), chunk.size(), hits);
  ASSERT_EQ(regions.size(), 4u);

  ScanUploadBody body;
  std::string error;
  ASSERT_TRUE(scan_upload_body({kBoundary, "scan-42", chunk_offset, 2097152}, hits, regions, &body,
                               &error));
  // Moov box, the two JPEG regions (the second cut at the chunk end), ftyp.
  const uint64_t slices[4][2] = {{20480, 4096}, {1001, 524288}, {1900000, 197152}, {4608, 524288}};
  std::string bin;
  for (const auto& s : slices) bin.append(reinterpret_cast<const char*>(chunk.data() + s[0]), s[1]);
  const std::string want =
      text_field("scan_id", "scan-42") + text_field("offset", "3145728") +
      text_field("chunk_size", "2097152") +
      text_field("scan_results",
                 "{\"ftyp_list\":[3150336],\"moov_dict\":{\"3166208\":4096},"
                 "\"image_sigs\":[[3146729,\"JPEG\"],[5045728,\"JPEG\"]]}") +
      text_field("region_index",
                 "[{\"start\":3166208,\"end\":3170304,\"size\":4096},"
                 "{\"start\":3146729,\"end\":3671017,\"size\":524288},"
                 "{\"start\":5045728,\"end\":5242880,\"size\":197152},"
                 "{\"start\":3150336,\"end\":3674624,\"size\":524288}]") +
      "--" + kBoundary +
      "\r\nContent-Disposition: form-data; name=\"regions\"; filename=\"regions.bin\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\n" +
      bin + "\r\n--" + kBoundary + "--\r\n";
  EXPECT_TRUE(body_text(body) == want);  // 1.2 MB: no diff printed
}

// The texts are what cJSON itself prints for them: printing the parsed text
// again gives the same bytes (numbers beyond 32 bits, escapes in names).
TEST(ScanUpload, JsonTextsAreAsCjsonPrintsThem) {
  ScanHits hits;
  hits.ftyp_offsets = {0, 2147483647, 2147483648, 4294967296, 999999999999999};
  hits.moov_hits = {{4294967808, 4294967295}, {512, 1000}};
  hits.image_hits = {{7, "JPEG"},
                     {1099511627776, "q\"uote\\back"},
                     {9, std::string("c\x01t\n\r\t\b\f", 8)},
                     {10, "caf\xc3\xa9"},
                     {11, ""}};
  std::vector<ScanRegion> regions = {{0, 4194304, 4194304, nullptr},
                                     {549755813888, 549756338176, 524288, nullptr}};
  for (const std::string& text : {scan_results_json(hits), scan_region_index_json(regions)}) {
    Json parsed = json_parse(text);
    ASSERT_TRUE(parsed) << text;
    EXPECT_EQ(json_print(parsed.get()), text);
  }
  Json results = json_parse(scan_results_json(hits));
  const cJSON* sigs = json_get(results.get(), "image_sigs");
  ASSERT_EQ(json_array_size(sigs), 5);
  for (int i = 0; i < 5; i++)
    EXPECT_EQ(json_string_value(json_array_item(json_array_item(sigs, i), 1)),
              hits.image_hits[i].type)
        << i;
  EXPECT_EQ(json_get_number(json_get(results.get(), "moov_dict"), "4294967808"), 4294967295.0);
}

// The limit is checked on the computed size, before anything is allocated:
// these regions point at nothing, and the refused bodies are never built.
TEST(ScanUpload, SizeLimitsRefuseBeforeAllocating) {
  ScanUploadFields fields{kBoundary, "s", 0, 67108864};
  const uint64_t overhead = *scan_upload_body_size(fields, ScanHits{}, {});
  auto one_region = [](uint64_t size) { return std::vector<ScanRegion>{{0, size, size, nullptr}}; };
  const uint64_t index_text = scan_region_index_json(one_region(kScanMaxBodyBytes)).size();

  struct Case {
    const char* what;
    std::vector<ScanRegion> regions;
    std::optional<uint64_t> size;
    const char* error;
  } cases[] = {
      {"exactly 2 GiB", one_region(kScanMaxBodyBytes - overhead - index_text + 2),
       kScanMaxBodyBytes, nullptr},
      {"one byte more", one_region(kScanMaxBodyBytes - overhead - index_text + 3),
       kScanMaxBodyBytes + 1, "Upload body too large: 2147483649 bytes"},
      // A 64 MiB chunk of JPEG starts: every region 512 KiB, overlapping.
      {"many overlapping regions", std::vector<ScanRegion>(5000, {0, 524288, 524288, nullptr}),
       std::nullopt, "Upload body too large: "},
      {"64-bit overflow", std::vector<ScanRegion>(2, {0, 1ULL << 63, 1ULL << 63, nullptr}),
       std::nullopt, "Upload body too large: its size overflows 64 bits"},
  };
  for (const Case& c : cases) {
    std::optional<uint64_t> size = scan_upload_body_size(fields, ScanHits{}, c.regions);
    if (c.size) {
      EXPECT_EQ(size, c.size) << c.what;
    }
    if (c.error == nullptr) continue;  // allowed; not built here
    ScanUploadBody body;
    std::string error;
    EXPECT_FALSE(scan_upload_body(fields, ScanHits{}, c.regions, &body, &error)) << c.what;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.what << ": " << error;
    EXPECT_EQ(body.data, nullptr);
    EXPECT_EQ(body.size, 0u);
  }
}

TEST(ScanUpload, BoundaryIsFreshPerCall) {
  std::string a = scan_make_boundary(), b = scan_make_boundary();
  EXPECT_TRUE(std::regex_match(a, std::regex("----ScanBoundary[0-9a-f]{12}"))) << a;
  EXPECT_NE(a, b);
}

}  // namespace
}  // namespace halvex
