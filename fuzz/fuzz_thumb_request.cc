// The "generate_thumbnails" request: any text, read as the server's "d"
// item. Reading never fails; every video's pieces stay within their caps
// (4096 + 16 + 5 MiB + the moov box, or moov_size + 5243904 in one piece)
// and never reach past the largest offset, whatever the offsets say.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/json.h"
#include "fuzz/fuzz_support.h"
#include "scan/thumbnails.h"

using halvex::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  halvex::Json d = halvex::json_parse(std::string_view(reinterpret_cast<const char*>(data), size));
  halvex::ThumbRequest r = halvex::thumb_read_request(d.get(), "https://srv");
  // The URL is kept whole (a run refuses one over 511 characters): it is
  // the base and token as given, never cut.
  check(r.upload_url.find("/api/remote/video_thumbnail?token=") != std::string::npos,
        "the whole upload URL");
  check(r.videos.size() ==
            static_cast<size_t>(halvex::json_array_size(halvex::json_get(d.get(), "videos"))),
        "one video per element");
  for (const halvex::ThumbVideo& v : r.videos) {
    uint64_t total = 0;
    for (const halvex::ThumbPiece& p : halvex::thumb_pieces(v)) {
      check(p.length > 0, "no empty piece");
      check(p.length <= UINT64_MAX - p.offset, "a piece ends within 64 bits");
      total += p.length;
    }
    check(total <= uint64_t{v.moov_size} + 5243904 + 4096 + 16, "pieces within their caps");
    if (v.mdat_offset == 0)
      check(halvex::thumb_pieces(v).empty(), "nothing without an mdat header");
  }
  return 0;
}
