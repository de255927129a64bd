// Video thumbnails end to end, with the real ffmpeg: an MP4 that ffmpeg
// made is laid into a disk image twice, whole (moov after ftyp) and
// rearranged with its moov box and media data before its ftyp box, placed
// so that the pieces the agent reads put the original file together again.
// `recovery-server thumbnails` has the agent render both; the server must
// store, for each, the very JPEG that ffmpeg makes from the original file,
// 320 pixels wide.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "core/json.h"
#include "tests/e2e/agent_fixture.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using testing::shell;

constexpr uint64_t kMiB = 1048576;
constexpr uint64_t kLayoutA = 1 * kMiB;  // the whole file
constexpr uint64_t kDataB =
    3 * kMiB;  // layout B: media data after the mdat header's 16 bytes, then moov
constexpr uint64_t kHeadB = 6 * kMiB;  // layout B: ftyp box up to and with the mdat header

uint64_t be(const std::string& b, uint64_t at, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; i++)
    v = v << 8 | static_cast<uint8_t>(b[at + static_cast<uint64_t>(i)]);
  return v;
}

// Where the top-level boxes of an MP4 lie.
struct Boxes {
  uint64_t mdat = 0, moov = 0, moov_size = 0;
  bool found = false;
};

Boxes find_boxes(const std::string& mp4) {
  Boxes b;
  for (uint64_t at = 0; at + 8 <= mp4.size();) {
    uint64_t size = be(mp4, at, 4);
    if (size == 1) size = be(mp4, at + 8, 8);
    if (size == 0) size = mp4.size() - at;
    std::string type = mp4.substr(at + 4, 4);
    if (type == "mdat") b.mdat = at;
    if (type == "moov") b.moov = at, b.moov_size = size;
    at += size;
  }
  b.found = b.mdat > 0 && b.moov > b.mdat && b.moov + b.moov_size == mp4.size();
  return b;
}

class ThumbnailsE2ETest : public testing::AgentFixture {
 protected:
  void SetUp() override {
    if (!shell("command -v ffmpeg >/dev/null && command -v ffprobe >/dev/null"))
      GTEST_SKIP() << "ffmpeg not installed: the thumbnails were not rendered";
    AgentFixture::SetUp();
  }

  std::string ffprobe_size(const std::string& jpeg) {
    std::string out = dir_.file("probe.txt");
    if (!shell(
            "ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0 '" +
            jpeg + "' > '" + out + "'"))
      return "ffprobe failed";
    std::string text = testing::read_file(out);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
  }
};

TEST_F(ThumbnailsE2ETest, BothLayoutsGiveTheJpegOfTheOriginalFile) {
  const std::string mp4_path = dir_.file("clip.mp4"), reference = dir_.file("reference.jpg");
  ASSERT_TRUE(shell(
      "ffmpeg -v error -f lavfi -i testsrc=duration=2:size=640x360:rate=10 -pix_fmt yuv420p -y '" +
      mp4_path + "'"));
  ASSERT_TRUE(shell("ffmpeg -v error -y -ss 0 -i '" + mp4_path +
                    "' -frames:v 1 -q:v 5 -vf scale=320:-2 '" + reference + "'"));
  const std::string mp4 = testing::read_file(mp4_path);
  const Boxes b = find_boxes(mp4);
  ASSERT_TRUE(b.found) << "ffmpeg did not write ftyp, mdat, then moov";
  const uint64_t data_size = b.moov - b.mdat - 16;
  ASSERT_LE(b.mdat, 4096u);
  ASSERT_LE(data_size, 5 * kMiB);

  std::string disk(8 * kMiB, 'Z');
  disk.replace(kLayoutA, mp4.size(), mp4);
  disk.replace(kDataB, mp4.size() - b.mdat - 16, mp4.substr(b.mdat + 16));
  disk.replace(kHeadB, b.mdat + 16, mp4.substr(0, b.mdat + 16));
  const std::string image = dir_.file("card.img");
  std::ofstream(image, std::ios::binary) << disk;

  auto n = [](uint64_t v) { return std::to_string(v); };
  std::string videos =
      "[{\"video_id\":\"clip-a\",\"ftyp_offset\":" + n(kLayoutA) +
      ",\"mdat_offset\":" + n(kLayoutA + b.mdat) + ",\"moov_offset\":" + n(kLayoutA + b.moov) +
      ",\"moov_size\":" + n(b.moov_size) +
      "},{\"video_id\":\"clip-b\",\"ftyp_offset\":" + n(kHeadB) +
      ",\"mdat_offset\":" + n(kHeadB + b.mdat) + ",\"moov_offset\":" + n(kDataB + data_size) +
      ",\"moov_size\":" + n(b.moov_size) + ",\"video_data_size\":" + n(data_size) + "}]";
  // ffmpeg's time limit runs on the agent's clock, which the fixture makes
  // ten times faster; 1.5 s is too little for ffmpeg on a loaded machine.
  start_agent("", {"--time-scale", "100"});
  pair();
  Json result;
  ASSERT_EQ(run_job("thumbnails", {"--path", image, "--videos", videos}, &result), 0)
      << job_err_ << log_text();
  ASSERT_TRUE(result) << job_err_;
  EXPECT_EQ(json_get_number(result.get(), "generated"), 2);
  EXPECT_EQ(json_get_number(result.get(), "total"), 2);
  const std::string stored = json_get_string(result.get(), "stored");
  const char* ids[] = {"clip-a", "clip-b"};
  for (int i = 1; i <= 2; i++) {
    char name[16];
    std::snprintf(name, sizeof name, "%010d", i);
    std::string jpeg = stored + "/" + name + ".jpg";
    EXPECT_EQ(ffprobe_size(jpeg), "320,180") << jpeg;
    EXPECT_TRUE(testing::read_file(jpeg) == testing::read_file(reference))
        << ids[i - 1] << ": not the original file's first frame";
    EXPECT_EQ(json_get_string(json_parse(testing::read_file(stored + "/" + name + ".json")).get(),
                              "video_id"),
              ids[i - 1]);
  }
  EXPECT_NE(log_text().find("thumb: generated 2/2"), std::string::npos) << log_text();
  exit_agent();
}

}  // namespace
}  // namespace halvex
