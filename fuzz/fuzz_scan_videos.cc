// The videos named for thumbnails from a stored scan chunk, as an agent
// uploaded it: the input is the chunk's record (JSON) up to the first NUL
// byte, and its regions.bin after it. Whatever they hold, each video's
// boxes come in the order ftyp, mdat, moov, and the ftyp is one of the
// chunk's ftyp hits.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/json.h"
#include "fuzz/fuzz_support.h"
#include "server/uploads/scan_videos.h"

using halvex::fuzz::check;
using namespace halvex;
using namespace halvex::server;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t nul = input.find('\0');
  std::string_view json = input.substr(0, nul);
  std::string regions(nul == std::string_view::npos ? "" : input.substr(nul + 1));
  Json record = json_parse(json);
  ScanVideoFinder finder;
  finder.add_chunk(record.get(), [&regions](uint64_t at, uint64_t n) {
    return at < regions.size() ? regions.substr(at, n) : std::string();
  });
  std::string ftyps = json_print(json_get(json_get(record.get(), "scan_results"), "ftyp_list"));
  for (const ScanVideo& v : finder.videos()) {
    check(v.ftyp < v.mdat && v.mdat + 8 <= v.moov, "ftyp, then mdat, then moov");
    check(ftyps.find(std::to_string(v.ftyp)) != std::string::npos, "the ftyp is a hit");
  }
  return 0;
}
