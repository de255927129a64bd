// The body of an upload request as the network layer hands it over: held
// in memory, or spooled to a file when it may be large. These helpers read
// its multipart form either way, a small buffer at a time for a file, so a
// large body never has to fit in memory.
//
// Pure functions apart from reading the spool file; any thread.

#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/http/multipart.h"

namespace halvex::server {

struct RequestBody {
  std::string_view memory;  // the body, when `file` is empty
  std::string file;         // else the file that holds it
};

// Parses the body as multipart/form-data under `content_type`. On failure
// nullopt and *error ("Content-Type: ..." or "multipart: ...").
std::optional<std::vector<MultipartPart>> body_parts(const RequestBody& body,
                                                     std::string_view content_type,
                                                     const MultipartLimits& limits,
                                                     std::string* error);

// The bytes of `part`, when it holds at most `max_bytes`; else nullopt and
// *error "NAME: over N bytes" (or a read failure).
std::optional<std::string> body_read(const RequestBody& body, const MultipartPart& part,
                                     uint64_t max_bytes, std::string* error);

// Appends the bytes of `part` to `out`; false with *error on a read or
// write failure.
bool body_copy(const RequestBody& body, const MultipartPart& part, std::ostream& out,
               std::string* error);

}  // namespace halvex::server
