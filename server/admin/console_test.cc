// The console's pure parts: the route lookup, the Range header, the JPEG
// regions of a stored scan chunk, and the embedded files.
#include <gtest/gtest.h>

#include "core/json.h"
#include "server/admin/console.h"
#include "server/admin/range.h"
#include "server/admin/routes.h"

namespace halvex::server {
namespace {

TEST(RouteTest, FirstMatchWinsAndPrefixesMatchOnlyTheirStart) {
  static constexpr Route kTable[] = {{"/api/machines", false},
                                     {"/api/images", true},
                                     {"/api/", true},
                                     {"/", false},
                                     {"/console/", true}};
  const struct {
    const char* path;
    int want;  // index in kTable, -1 for none
  } cases[] = {
      {"/api/machines", 0},
      {"/api/machines/x", 2},
      {"/api/images", 1},
      {"/api/images/7", 1},
      {"/api/imagesX", 1},
      {"/api/", 2},
      {"/api", -1},
      {"/", 3},
      {"", -1},
      {"/console", -1},
      {"/console/", 4},
      {"/console/static/console.js", 4},
      {"/x", -1},
      {"//", -1},
  };
  for (const auto& c : cases) {
    const Route* r = route_find(kTable, c.path);
    EXPECT_EQ(r ? r - kTable : -1, c.want) << c.path;
  }
  EXPECT_FALSE(route_changes_state("GET"));
  EXPECT_FALSE(route_changes_state("HEAD"));
  EXPECT_TRUE(route_changes_state("POST"));
  EXPECT_TRUE(route_changes_state("DELETE"));
  EXPECT_TRUE(route_changes_state("get"));  // methods are case-sensitive: not a safe one
}

TEST(RangeTest, OneRangeOrTheWholeFile) {
  constexpr auto W = RangeKind::kWhole, P = RangeKind::kPart, U = RangeKind::kUnsatisfiable;
  const struct {
    const char* header;
    uint64_t size;
    RangeKind kind;
    uint64_t first, length;
    const char* content_range;
  } cases[] = {
      {"", 100, W, 0, 0, "bytes */100"},
      {"bytes=0-0", 100, P, 0, 1, "bytes 0-0/100"},
      {"bytes=0-99", 100, P, 0, 100, "bytes 0-99/100"},
      {"bytes=10-", 100, P, 10, 90, "bytes 10-99/100"},
      {"bytes=90-1000", 100, P, 90, 10, "bytes 90-99/100"},
      {"bytes=-10", 100, P, 90, 10, "bytes 90-99/100"},
      {"bytes=-1000", 100, P, 0, 100, "bytes 0-99/100"},
      {"bytes=99-", 100, P, 99, 1, "bytes 99-99/100"},
      {"bytes=100-", 100, U, 0, 0, "bytes */100"},
      {"bytes=100-200", 100, U, 0, 0, "bytes */100"},
      {"bytes=-0", 100, U, 0, 0, "bytes */100"},
      {"bytes=0-", 0, U, 0, 0, "bytes */0"},
      {"bytes=-5", 0, U, 0, 0, "bytes */0"},
      {"bytes=18446744073709551615-", 100, U, 0, 0, "bytes */100"},
      // Not served as a part: the whole file.
      {"bytes=5-4", 100, W, 0, 0, nullptr},
      {"bytes=0-1,5-6", 100, W, 0, 0, nullptr},
      {"bytes=a-5", 100, W, 0, 0, nullptr},
      {"bytes=+1-5", 100, W, 0, 0, nullptr},
      {"bytes= 1-5", 100, W, 0, 0, nullptr},
      {"bytes=1-5 ", 100, W, 0, 0, nullptr},
      {"bytes=-", 100, W, 0, 0, nullptr},
      {"bytes=5", 100, W, 0, 0, nullptr},
      {"items=0-5", 100, W, 0, 0, nullptr},
      {"Bytes=0-5", 100, W, 0, 0, nullptr},
      {"bytes=18446744073709551616-", 100, W, 0, 0, nullptr},
  };
  for (const auto& c : cases) {
    ByteRange r = http_range(c.header, c.size);
    EXPECT_EQ(r.kind, c.kind) << c.header;
    EXPECT_EQ(r.first, c.first) << c.header;
    EXPECT_EQ(r.length, c.length) << c.header;
    if (c.content_range) {
      EXPECT_EQ(content_range(r, c.size), c.content_range) << c.header;
    }
  }
}

TEST(ConsoleTest, PicturesAreTheJpegHitsWithARegionOfTheirOwn) {
  // Regions: the first 4 MiB (from 0), a moov box, two JPEG regions; one
  // JPEG hit (at 5000) has none, an ARW hit is not a picture.
  Json record = json_parse(R"({
    "scan_results": {"ftyp_list": [], "moov_dict": {"100": 50},
                     "image_sigs": [[200, "ARW"], [300, "JPEG"], [5000, "JPEG"], [700, "JPEG"]]},
    "region_index": [{"start": 0, "end": 1000, "size": 1000}, {"start": 100, "end": 150, "size": 50},
                     {"start": 300, "end": 1000, "size": 700}, {"start": 700, "end": 1000, "size": 300},
                     {"start": 200, "end": 1000, "size": 800}]})");
  std::vector<ScanPicture> p = scan_chunk_pictures("00000000000000000000", record.get());
  ASSERT_EQ(p.size(), 2u);
  EXPECT_EQ(p[0].offset, 300u);
  EXPECT_EQ(p[0].at, 1050u);
  EXPECT_EQ(p[0].size, 700u);
  EXPECT_EQ(p[1].offset, 700u);
  EXPECT_EQ(p[1].at, 1750u);
  EXPECT_EQ(p[1].size, 300u);
  // Damaged records give nothing rather than wrong bytes.
  for (const char* bad :
       {"", "{}",
        R"({"scan_results":{"image_sigs":[[0,"JPEG"]]},"region_index":[{"start":-1,"size":5}]})",
        R"({"scan_results":{"image_sigs":[[0,"JPEG"]]},"region_index":[{"start":0,"size":0}]})"}) {
    Json j = json_parse(bad);
    EXPECT_TRUE(scan_chunk_pictures("00000000000000000000", j.get()).empty()) << bad;
  }
}

TEST(ConsoleTest, ServesItsFilesWithTheirTypes) {
  const struct {
    const char* path;
    const char* type;  // nullptr: not served
  } cases[] = {
      {"/console/", "text/html; charset=utf-8"},
      {"/console/jobs", "text/html; charset=utf-8"},
      {"/console/events", "text/html; charset=utf-8"},
      {"/console/static/console.js", "text/javascript; charset=utf-8"},
      {"/console/static/console.css", "text/css; charset=utf-8"},
      {"/console/static/console.html", "text/html; charset=utf-8"},
      {"/console/static/", nullptr},
      {"/console/static/nothing.js", nullptr},
      {"/console/static/../console.js", nullptr},
      {"/console/jobs/", nullptr},
      {"/console/api/session", nullptr},
  };
  for (const auto& c : cases) {
    std::optional<HttpResponse> r = console_static(c.path);
    ASSERT_EQ(r.has_value(), c.type != nullptr) << c.path;
    if (!r) continue;
    EXPECT_EQ(r->content_type, c.type) << c.path;
    EXPECT_FALSE(r->body.empty()) << c.path;
  }
  // The page loads its script and style from the server, never inline.
  std::string page = console_static("/console/")->body;
  EXPECT_NE(page.find("<script src=\"/console/static/console.js\""), std::string::npos);
  EXPECT_EQ(page.find("<script>"), std::string::npos);
  EXPECT_EQ(page.find("style="), std::string::npos);
}

}  // namespace
}  // namespace halvex::server
