// The server's multipart/form-data reader on arbitrary bytes. The input's
// first line is the request's Content-Type and the rest its body; without a
// line break the whole input is a body under a fixed boundary. Checked:
// nothing crashes; the body gives the same parts (or the same error) whether
// it arrives whole or cut into pieces of varying size; accepted parts lie
// in order inside the body, never overlap, hold no delimiter, and each is
// followed by one.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "server/http/multipart.h"

using halvex::fuzz::check;
using halvex::server::MultipartLimits;
using halvex::server::MultipartParser;
using halvex::server::MultipartPart;

namespace {

constexpr const char* kDefaultType = "multipart/form-data; boundary=----ChunkBoundary1a2b3c4d5e6f";
// Small limits so that inputs reach them.
constexpr MultipartLimits kLimits{16, 256};

bool same_parts(const std::vector<MultipartPart>& a, const std::vector<MultipartPart>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); i++) {
    if (a[i].name != b[i].name || a[i].filename != b[i].filename ||
        a[i].has_filename != b[i].has_filename || a[i].content_type != b[i].content_type ||
        a[i].offset != b[i].offset || a[i].size != b[i].size)
      return false;
  }
  return true;
}

// Feeds the body in pieces whose sizes follow the body's own bytes.
void check_pieces(const std::string& boundary, std::string_view body, bool whole_ok,
                  const std::vector<MultipartPart>& whole_parts, const std::string& whole_error) {
  MultipartParser p(boundary, kLimits);
  size_t at = 0;
  uint32_t seed = static_cast<uint32_t>(body.size()) * 2654435761u;
  while (at < body.size()) {
    seed = seed * 1103515245u + 12345u + static_cast<uint8_t>(body[at]);
    size_t n = std::min<size_t>(1 + (seed >> 16) % 97, body.size() - at);
    p.feed(body.substr(at, n));
    at += n;
  }
  bool ok = p.finish();
  check(ok == whole_ok, "pieces and whole body agree on acceptance");
  if (!ok) {
    check(p.error() == whole_error, "pieces and whole body give the same error");
    check(p.error().rfind("multipart: ", 0) == 0, "errors are prefixed");
    return;
  }
  check(same_parts(p.parts(), whole_parts), "pieces and whole body give the same parts");
}

void check_layout(const std::string& boundary, std::string_view body,
                  const std::vector<MultipartPart>& parts) {
  const std::string delimiter = "\r\n--" + boundary;
  uint64_t previous_end = 0;
  for (const MultipartPart& part : parts) {
    check(!part.name.empty(), "every part has a name");
    check(part.offset >= previous_end && part.offset <= body.size(),
          "parts start in order inside the body");
    check(part.size <= body.size() - part.offset, "parts end inside the body");
    std::string_view bytes = body.substr(part.offset, part.size);
    check(bytes.find(delimiter) == std::string_view::npos, "no delimiter inside a part");
    check(body.substr(part.offset + part.size, delimiter.size()) == delimiter,
          "a delimiter follows each part");
    previous_end = part.offset + part.size;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::string type = kDefaultType;
  std::string_view body = input;
  if (size_t nl = input.find('\n'); nl != std::string_view::npos && nl < 200) {
    type = std::string(input.substr(0, nl));
    body = input.substr(nl + 1);
  }
  std::string error;
  std::optional<std::string> boundary = halvex::server::multipart_boundary(type, &error);
  if (!boundary) {
    check(error.rfind("Content-Type: ", 0) == 0, "Content-Type errors are prefixed");
    return 0;
  }
  check(!boundary->empty() && boundary->size() <= 70, "boundary length");
  check(boundary->find_first_of("\r\n") == std::string::npos, "no line break in a boundary");

  MultipartParser whole(*boundary, kLimits);
  whole.feed(body);
  bool ok = whole.finish();
  check(ok || !whole.error().empty(), "a rejection says why");
  if (ok) check_layout(*boundary, body, whole.parts());
  check_pieces(*boundary, body, ok, whole.parts(), whole.error());
  return 0;
}
