// The Range header of a GET (RFC 9110 section 14): one byte range of a
// file of known size. A header this server does not serve as a part (none,
// malformed, another unit, several ranges) asks for the whole file, as
// the RFC lets a server do; a range wholly past the end is unsatisfiable
// (416 with "Content-Range: bytes */SIZE").
//
// Pure functions; any thread.

#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "server/admin/app.h"

namespace halvex::server {

enum class RangeKind { kWhole, kPart, kUnsatisfiable };

struct ByteRange {
  RangeKind kind = RangeKind::kWhole;
  uint64_t first = 0;   // kPart: the first byte
  uint64_t length = 0;  // kPart: bytes from first, at least 1
};

ByteRange http_range(std::string_view header, uint64_t size);

// "bytes FIRST-LAST/SIZE" for a part, "bytes */SIZE" for unsatisfiable.
std::string content_range(const ByteRange& r, uint64_t size);

// The answer to a download of a file of `size` bytes whose request carried
// `header` (empty: none): 200 for the whole file, 206 with Content-Range for
// one part (file_offset and file_length set), or a plain 416 when nothing of
// it can be served. On a 200 or 206 the caller says where the bytes are.
HttpResponse ranged_file_reply(std::string_view header, uint64_t size);

}  // namespace halvex::server
