// The videos a stored scan found, as the agent's "generate_thumbnails"
// request names them, and the regions of a stored chunk.
//
// A scan reports per chunk the `ftyp` and `moov` boxes it found and uploads
// up to 512 KiB from each ftyp box (its regions.bin). A video laid out as
// most recorders write it (ftyp, then mdat, then moov) is a candidate: its
// mdat header is found by walking the boxes after the ftyp box in those
// bytes, and its moov box is the first moov hit from where the mdat box
// ends (recorders may pad between them) and before the next ftyp box. A
// video whose mdat header is not in the uploaded bytes, or that has no moov
// hit after it, is left out: the hits do not tell where its pieces are.
//
// Pure functions and one collecting class with no shared state; any thread.

#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.h"

namespace halvex::server {

// A JSON file of a scan's folder, parsed; null when it is missing, larger
// than 64 MiB or not JSON.
Json scan_json_file(const std::string& path);
// Whether `name` is a stored chunk's name: its disk offset in 20 digits.
bool scan_chunk_name(std::string_view name);
// The names of the chunks stored in a scan's folder (chunks/NAME.json), sorted.
std::vector<std::string> scan_chunk_names(const std::string& folder);

// Where one region of a chunk lies in its regions.bin.
struct ScanRegion {
  uint64_t at = 0;    // its first byte in regions.bin
  uint64_t size = 0;  // bytes
};

// The regions of a stored chunk record ({"region_index": [{"start",
// "size"}...]}) by their disk offset; nullopt when a start or size is not
// a whole number a scan could have sent.
std::optional<std::map<uint64_t, ScanRegion>> scan_regions(const cJSON* record);

// One candidate video, by the disk offsets of its boxes.
struct ScanVideo {
  uint64_t ftyp = 0;
  uint64_t mdat = 0;
  uint64_t moov = 0;
  uint64_t moov_size = 0;
  bool operator==(const ScanVideo&) const = default;
};

// Reads `size` bytes at `at` of a chunk's regions.bin (fewer at its end).
using RegionReader = std::function<std::string(uint64_t at, uint64_t size)>;

class ScanVideoFinder {
 public:
  // One stored chunk record ({"scan_results", "region_index"}) and a reader
  // of its regions.bin. Chunks may come in any order.
  void add_chunk(const cJSON* record, const RegionReader& read);
  // The candidates, by ftyp offset.
  std::vector<ScanVideo> videos() const;

 private:
  struct Mdat {
    uint64_t offset = 0;
    uint64_t end = 0;  // where the box ends
  };
  std::map<uint64_t, Mdat> starts_;     // ftyp offset -> its mdat box
  std::set<uint64_t> ftyps_;            // every ftyp hit
  std::map<uint64_t, uint64_t> moovs_;  // moov offset -> box size
};

// The "videos" member of "generate_thumbnails": one object per video with
// its offsets, named "ftyp-OFFSET" and numbered from 1.
Json thumbnail_videos_json(const std::vector<ScanVideo>& videos);

// The same for the videos of a scan's folder (chunks/NAME.json beside
// chunks/NAME.regions.bin, as Uploads stores them): what the console's
// button and the thumbnails command send.
Json scan_folder_videos(const std::string& folder);

}  // namespace halvex::server
