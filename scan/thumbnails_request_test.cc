// Video thumbnails: the request as read and the pieces that rebuild each
// layout. Built for Linux and Windows alike; the runs are tested in
// thumbnails_test.cc (Linux) and end to end under wine
// (tests/e2e/wine_e2e.py).

#include <gtest/gtest.h>

#include "core/json.h"
#include "scan/thumbnails.h"

namespace halvex {
namespace {

constexpr uint64_t kMiB = 1048576;

TEST(ThumbRequestTest, MembersAndDefaults) {
  ThumbRequest r = thumb_read_request(nullptr, "https://srv");
  EXPECT_FALSE(r.scan_id);
  EXPECT_EQ(r.source, "");
  EXPECT_EQ(r.upload_url, "https://srv/api/remote/video_thumbnail?token=");
  EXPECT_TRUE(r.videos.empty());

  // "image_paths" only stands in for a missing or empty "disk_path".
  Json d = json_parse(
      R"({"disk_path":"","image_paths":["/a.img"],"server_url":"https://b","upload_token":"t"})");
  r = thumb_read_request(d.get(), "https://srv");
  EXPECT_EQ(r.source, "/a.img");
  EXPECT_EQ(r.upload_url, "https://b/api/remote/video_thumbnail?token=t");
  d = json_parse(R"({"disk_path":"/dev/sdb","image_paths":["/a.img"]})");
  EXPECT_EQ(thumb_read_request(d.get(), "").source, "/dev/sdb");

  d = json_parse(R"({"scan_id":"s","videos":[
      {"video_id":"v1","video_index":7,"ftyp_offset":4096,"moov_offset":1e6,"moov_size":4294967301,
       "mdat_offset":8192,"video_data_size":12},
      {}, {"video_index":"x","ftyp_offset":-5,"moov_offset":1e30}, 3]})");
  r = thumb_read_request(d.get(), "");
  EXPECT_EQ(r.scan_id, "s");
  ASSERT_EQ(r.videos.size(), 4u);
  const ThumbVideo& v = r.videos[0];
  EXPECT_EQ(v.video_id, "v1");
  EXPECT_EQ(v.video_index, 7);
  EXPECT_EQ(v.ftyp_offset, 4096u);
  EXPECT_EQ(v.moov_offset, 1000000u);
  EXPECT_EQ(v.moov_size, 5u);  // the low 32 bits
  EXPECT_EQ(v.mdat_offset, 8192u);
  EXPECT_EQ(v.video_data_size, 12u);
  EXPECT_EQ(r.videos[1].video_index, 2);  // the position + 1
  EXPECT_EQ(r.videos[2].video_index, 3);
  EXPECT_EQ(r.videos[2].ftyp_offset, 0u);
  EXPECT_EQ(r.videos[2].moov_offset, UINT64_MAX);
  EXPECT_EQ(r.videos[3].video_index, 4);
}

TEST(ThumbPiecesTest, Layouts) {
  struct Case {
    const char* what;
    ThumbVideo v;  // id, index, ftyp, moov, moov_size, mdat, video_data_size
    std::vector<ThumbPiece> pieces;
  } cases[] = {
      {"A: ftyp through the moov box", {"", 1, 1000, 51000, 3000, 2000, 0}, {{1000, 53000}}},
      {"A: moov far beyond ftyp", {"", 1, 0, 100 * kMiB, 3000, 4096, 0}, {{0, 3000 + 5243904}}},
      {"A: a moov size near 4 GiB does not wrap",
       {"", 1, 0, 100 * kMiB, 0xFFFFFFFF, 4096, 0},
       {{0, 0xFFFFFFFFull + 5243904}}},
      {"B: four pieces",
       {"", 1, 900000, 500000, 7000, 900040, 200000},
       {{900000, 40}, {900040, 16}, {300000, 200000}, {500000, 7000}}},
      {"B: ftyp 10000 bytes before mdat",
       {"", 1, 900000, 500000, 7000, 910000, 200000},
       {{900000, 4096}, {910000, 16}, {300000, 200000}, {500000, 7000}}},
      {"B: media data cut to 5 MiB",
       {"", 1, 30 * kMiB, 20 * kMiB, 7000, 30 * kMiB + 40, 8 * kMiB},
       {{30 * kMiB, 40}, {30 * kMiB + 40, 16}, {12 * kMiB, 5 * kMiB}, {20 * kMiB, 7000}}},
      {"B: media data longer than all before moov",
       {"", 1, 5000, 1000, 300, 5040, 2000},
       {{5000, 40}, {5040, 16}, {1000, 300}}},
      {"B: mdat before ftyp",
       {"", 1, 9000, 2000, 300, 100, 0},
       {{9000, 4096}, {100, 16}, {2000, 300}}},
      {"B: at the largest offset",
       {"", 1, UINT64_MAX - 10, 50, 0, UINT64_MAX - 4, 0},
       {{UINT64_MAX - 10, 6}, {UINT64_MAX - 4, 4}}},
      {"mdat not located", {"", 1, 0, 4096, 3000, 0, 0}, {}},
      {"ftyp and moov at one offset", {"", 1, 4096, 4096, 3000, 8192, 100}, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(thumb_pieces(c.v), c.pieces) << c.what;
}

}  // namespace
}  // namespace halvex
