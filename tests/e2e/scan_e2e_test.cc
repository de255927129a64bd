// The remote scan end to end: the agent scans a FAT32 image file (made by
// mkfs.vfat and filled by mtools) for the reference server over real TLS,
// driven by `recovery-server scan` like an operator would. What the server
// stored (hits, region index, region bytes, directory tree) is checked
// against the image's own bytes, found independently of the matcher by
// searching the image for the files written into it.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "core/json.h"
#include "tests/e2e/agent_fixture.h"

namespace halvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::shell;

constexpr uint64_t kMiB = 1048576;
constexpr uint64_t kChunk = 4 * kMiB;
constexpr int kJpegFiles = 8;

std::string be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

// Text without 0xFF, so the only JPEG starts are the files' own.
std::string filler(size_t size, const std::string& tag) {
  std::string out;
  while (out.size() < size) out += tag + " holiday photo bytes ";
  out.resize(size);
  return out;
}

// A 64 MiB FAT32 card: camera folders with JPEG files, a video whose ftyp
// and moov boxes start on sector boundaries, an empty folder. Free space
// holds 'Z' bytes rather than zeros.
struct Card {
  std::string path, bytes;
  std::set<uint64_t> jpeg_starts;
  uint64_t ftyp = 0, moov = 0;
  int tree_entries = 0;
};

::testing::AssertionResult make_card(const std::string& dir, Card* card) {
  fs::path src = dir + "/card-src";
  for (int k = 0; k < kJpegFiles; k++) {
    char name[32];
    std::snprintf(name, sizeof name, "DSC%05d.JPG", k);
    std::string marker = std::string("Exif-") + name + "-";
    testing::write_file(
        src / "DCIM" / "100MSDCF" / name,
        "\xFF\xD8\xFF\xE1" + marker + filler(150000 + 10000 * static_cast<size_t>(k), name));
  }
  testing::write_file(src / "DCIM" / "100MSDCF" / "Birthday party by the lake.jpeg",
                      "\xFF\xD8\xFF\xE0" + std::string("Exif-long-") + filler(90000, "lake"));
  std::string mp4 = be32(24) + "ftypisom" + std::string(12, 'i') + be32(488) + "free" +
                    std::string(480, 'f') + be32(5000) + "moov" + filler(4992, "moov") +
                    be32(300008) + "mdat" + filler(300000, "mdat");
  testing::write_file(src / "VIDEO" / "CLIP0001.MP4", mp4);
  fs::create_directories(src / "EMPTY");
  card->tree_entries = 5 + kJpegFiles + 1;  // DCIM, 100MSDCF, VIDEO, EMPTY, the video; the photos

  card->path = dir + "/card.img";
  if (!shell("head -c 64M /dev/zero | tr '\\0' 'Z' > '" + card->path + "'") ||
      !shell("mkfs.vfat -F 32 -S 512 -s 1 -n HALVEXCARD '" + card->path + "' >/dev/null") ||
      !shell("cd '" + src.string() + "' && MTOOLS_SKIP_CHECK=1 mcopy -s -i '" + card->path +
             "' * ::/"))
    return ::testing::AssertionFailure() << "could not build the card image";
  card->bytes = testing::read_file(card->path);

  auto find_once = [&](const std::string& needle, uint64_t* at) {
    size_t pos = card->bytes.find(needle);
    if (pos == std::string::npos || card->bytes.find(needle, pos + 1) != std::string::npos)
      return false;
    *at = pos;
    return true;
  };
  for (int k = 0; k < kJpegFiles; k++) {
    char marker[40];
    std::snprintf(marker, sizeof marker, "Exif-DSC%05d.JPG-", k);
    uint64_t at;
    if (!find_once(marker, &at))
      return ::testing::AssertionFailure() << marker << " not found once";
    card->jpeg_starts.insert(at - 4);
  }
  uint64_t at;
  if (!find_once("Exif-long-", &at))
    return ::testing::AssertionFailure() << "long-name photo not found";
  card->jpeg_starts.insert(at - 4);
  if (!find_once("ftypisom", &at)) return ::testing::AssertionFailure() << "video not found";
  card->ftyp = at - 4;
  card->moov = card->ftyp + 512;
  if (card->ftyp % 512 != 0)
    return ::testing::AssertionFailure() << "video not on a sector boundary";
  return ::testing::AssertionSuccess();
}

class ScanE2ETest : public testing::AgentFixture {
 protected:
  void SetUp() override {
    if (!shell("command -v mkfs.vfat >/dev/null && command -v mcopy >/dev/null"))
      GTEST_SKIP()
          << "mkfs.vfat (dosfstools) or mcopy (mtools) not installed: the scan was not run";
    AgentFixture::SetUp();
    ASSERT_TRUE(make_card(dir_.path(), &card_));
  }

  struct StoredChunk {
    uint64_t offset = 0, size = 0;
    Json record;
    std::string regions;
  };

  // The chunks stored for the scan, in disk order.
  std::vector<StoredChunk> stored_chunks(const std::string& folder) {
    std::vector<StoredChunk> out;
    std::vector<fs::path> files;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder + "/chunks", ec))
      if (entry.path().extension() == ".json") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const fs::path& json : files) {
      StoredChunk c;
      c.record = json_parse(testing::read_file(json.string()));
      c.offset = static_cast<uint64_t>(json_get_number(c.record.get(), "offset"));
      c.size = static_cast<uint64_t>(json_get_number(c.record.get(), "chunk_size"));
      std::string bin = json.string();
      c.regions = testing::read_file(bin.substr(0, bin.size() - 5) + ".regions.bin");
      out.push_back(std::move(c));
    }
    return out;
  }

  // Every stored region holds `expected`'s bytes at its place, and the
  // regions.bin files hold nothing else. Returns the regions' ranges.
  std::vector<std::pair<uint64_t, uint64_t>> check_regions(const std::vector<StoredChunk>& chunks,
                                                           const std::string& expected) {
    std::vector<std::pair<uint64_t, uint64_t>> ranges;
    for (const StoredChunk& c : chunks) {
      const cJSON* index = json_get(c.record.get(), "region_index");
      uint64_t at = 0;
      for (int i = 0; i < json_array_size(index); i++) {
        const cJSON* r = json_array_item(index, i);
        uint64_t start = static_cast<uint64_t>(json_get_number(r, "start"));
        uint64_t size = static_cast<uint64_t>(json_get_number(r, "size"));
        EXPECT_GE(start, c.offset);
        EXPECT_LE(start + size, c.offset + c.size);
        EXPECT_TRUE(at + size <= c.regions.size() &&
                    c.regions.compare(at, size, expected, start, size) == 0)
            << "chunk " << c.offset << " region " << i << " [" << start << ", " << start + size
            << ")";
        ranges.emplace_back(start, start + size);
        at += size;
      }
      EXPECT_EQ(at, c.regions.size()) << "chunk " << c.offset;
    }
    return ranges;
  }

  Card card_;
};

TEST_F(ScanE2ETest, WholeScanStoresTheImagesHitsAndBytes) {
  start_agent();
  pair();
  Json result;
  ASSERT_EQ(run_job("scan", {"--path", card_.path, "--chunk-size", std::to_string(kChunk)}, &result,
                    180s),
            0)
      << job_err_ << log_text();
  ASSERT_TRUE(result) << job_err_;
  EXPECT_EQ(json_get_number(result.get(), "chunks"), 16) << log_text();
  EXPECT_EQ(json_print(json_get(result.get(), "hits")),
            "{\"JPEG\":" + std::to_string(kJpegFiles + 1) + ",\"ftyp\":1,\"moov\":1}");
  EXPECT_EQ(json_get_number(result.get(), "tree_entries"), card_.tree_entries);

  std::vector<StoredChunk> chunks = stored_chunks(json_get_string(result.get(), "stored"));
  ASSERT_EQ(chunks.size(), 16u);
  std::set<uint64_t> jpegs;
  std::vector<uint64_t> ftyps;
  std::map<uint64_t, uint64_t> moovs;
  for (size_t i = 0; i < chunks.size(); i++) {
    EXPECT_EQ(chunks[i].offset, i * kChunk);
    EXPECT_EQ(chunks[i].size, kChunk);
    const cJSON* results = json_get(chunks[i].record.get(), "scan_results");
    const cJSON* sigs = json_get(results, "image_sigs");
    for (int k = 0; k < json_array_size(sigs); k++)
      jpegs.insert(
          static_cast<uint64_t>(json_number_value(json_array_item(json_array_item(sigs, k), 0))));
    const cJSON* ftyp = json_get(results, "ftyp_list");
    for (int k = 0; k < json_array_size(ftyp); k++)
      ftyps.push_back(static_cast<uint64_t>(json_number_value(json_array_item(ftyp, k))));
    const cJSON* moov = json_get(results, "moov_dict");
    for (int k = 0; k < json_member_count(moov); k++)
      moovs[std::stoull(json_member_name(json_member_at(moov, k)))] =
          static_cast<uint64_t>(json_number_value(json_member_at(moov, k)));
  }
  EXPECT_EQ(jpegs, card_.jpeg_starts);
  EXPECT_EQ(ftyps, std::vector<uint64_t>{card_.ftyp});
  EXPECT_EQ(moovs, (std::map<uint64_t, uint64_t>{{card_.moov, 5000}}));

  std::vector<std::pair<uint64_t, uint64_t>> ranges = check_regions(chunks, card_.bytes);
  auto has = [&](uint64_t start, uint64_t end) {
    return std::find(ranges.begin(), ranges.end(), std::make_pair(start, end)) != ranges.end();
  };
  EXPECT_TRUE(has(0, 4 * kMiB));                      // the start of the disk
  EXPECT_TRUE(has(card_.moov, card_.moov + 5000));    // the whole moov box
  EXPECT_TRUE(has(card_.ftyp, card_.ftyp + 524288));  // 512 KiB from the ftyp box
  for (uint64_t start : card_.jpeg_starts) EXPECT_TRUE(has(start, start + 524288)) << start;

  Json tree = json_parse(
      testing::read_file(json_get_string(result.get(), "stored") + "/directory_tree.json"));
  const cJSON* entries = json_get(json_get(tree.get(), "directory_tree"), "entries");
  EXPECT_EQ(json_get_string(json_get(tree.get(), "directory_tree"), "fs_type"), "fat32");
  ASSERT_EQ(json_array_size(entries), card_.tree_entries);
  std::set<std::string> paths;
  for (int i = 0; i < json_array_size(entries); i++)
    paths.insert(json_get_string(json_array_item(entries, i), "path"));
  for (const char* p :
       {"/DCIM", "/DCIM/100MSDCF", "/DCIM/100MSDCF/DSC00007.JPG",
        "/DCIM/100MSDCF/Birthday party by the lake.jpeg", "/VIDEO/CLIP0001.MP4", "/EMPTY"})
    EXPECT_EQ(paths.count(p), 1u) << p;

  std::string events;
  ASSERT_EQ(server_.run({"events", machine_id()}, "", &events), 0) << server_.last_output();
  EXPECT_EQ(testing::count_of(events, "\"e\":\"stream_chunk_complete\""), 1u) << events;
  EXPECT_NE(
      events.find("\"e\":\"stream_chunk_complete\",\"d\":{\"scan_id\":\"" +
                  json_get_string(result.get(), "scan_id") + "\",\"status\":\"complete\"}}\n"),
      std::string::npos)
      << events;
  EXPECT_NE(log_text().find("scan: complete, 16 chunks processed"), std::string::npos);
  exit_agent();
}

}  // namespace
}  // namespace halvex
