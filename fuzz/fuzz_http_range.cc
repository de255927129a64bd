// The Range header of an image download: the first 8 bytes are the file's
// size, the rest the header. Whatever it says, a part lies inside the file
// and is not empty, and its Content-Range names exactly those bytes.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "server/admin/range.h"

using halvex::fuzz::check;
using namespace halvex::server;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  uint64_t file_size = 0;
  std::memcpy(&file_size, data, 8);
  std::string_view header(reinterpret_cast<const char*>(data + 8), size - 8);
  ByteRange r = http_range(header, file_size);
  if (r.kind == RangeKind::kPart) {
    check(r.length >= 1 && r.first < file_size && r.length <= file_size - r.first,
          "a part lies inside the file");
    check(content_range(r, file_size) == "bytes " + std::to_string(r.first) + "-" +
                                             std::to_string(r.first + r.length - 1) + "/" +
                                             std::to_string(file_size),
          "Content-Range names the part");
  } else {
    check(r.first == 0 && r.length == 0, "no part, no bytes");
  }
  if (header.substr(0, 6) != "bytes=")
    check(r.kind == RangeKind::kWhole, "another unit means the whole file");
  return 0;
}
