// A strict reader of multipart/form-data request bodies, the form in which
// agents upload image chunks, scan results and thumbnails. It finds the
// parts and reads their headers; it never copies a part's body but reports
// it as a byte range of the request body, so a caller can read a body held
// in memory or one spooled to a file.
//
// The body is taken in pieces of any size (MultipartParser::feed), so a
// spooled body can be read through a small buffer. Anything that is not
// exactly a form body is rejected: text before the first boundary or after
// the closing one, a boundary followed by anything but CRLF or "--", a part
// without a form-data Content-Disposition naming it, malformed or repeated
// header fields, more parts or longer header blocks than the limits allow.
//
// Pure code; a parser is used by one thread at a time.

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvex::server {

struct MultipartPart {
  std::string name;      // the Content-Disposition "name"
  std::string filename;  // the "filename", when has_filename
  bool has_filename = false;
  std::string content_type;  // the part's Content-Type; empty when absent
  uint64_t offset = 0;       // where the part's body starts in the request body
  uint64_t size = 0;         // its length in bytes
};

struct MultipartLimits {
  size_t max_parts = 32;
  size_t max_header_bytes = 4096;  // one part's header block, blank line included
};

// The boundary of a Content-Type "multipart/form-data; boundary=B" (B a
// token or quoted string of 1 to 70 characters allowed in boundaries). Any
// other type, or a missing or malformed boundary, gives nullopt and *error.
std::optional<std::string> multipart_boundary(std::string_view content_type, std::string* error);

class MultipartParser {
 public:
  // REQUIRES: `boundary` came from multipart_boundary().
  explicit MultipartParser(std::string boundary, MultipartLimits limits = {});

  // Takes the next bytes of the body. Returns false as soon as the body is
  // known to be malformed (error() says why); later calls change nothing.
  bool feed(const uint8_t* data, size_t size);
  bool feed(std::string_view data) {
    return feed(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  }

  // The body has ended. True when it was complete and well formed; then
  // parts() holds every part in body order.
  bool finish();

  const std::vector<MultipartPart>& parts() const { return parts_; }
  const std::string& error() const { return error_; }

 private:
  enum class State { kStart, kBody, kAfterDelimiter, kHeaders, kClosing, kDone, kFailed };

  bool fail(const std::string& text);
  size_t scan_body(const uint8_t* data, size_t size);
  bool delimiter_end(uint8_t c);
  bool header_byte(uint8_t c);
  bool closing_byte(uint8_t c);

  std::string delimiter_;  // CRLF "--" boundary
  MultipartLimits limits_;
  State state_ = State::kStart;
  size_t matched_ = 0;   // bytes of delimiter_ matched so far
  uint64_t pos_ = 0;     // body bytes consumed
  std::string pending_;  // the header block or the two bytes after a delimiter
  std::vector<MultipartPart> parts_;
  std::string error_;
};

// The whole body at once. On success the parts; else nullopt and *error.
std::optional<std::vector<MultipartPart>> multipart_parse(std::string_view body,
                                                          std::string_view content_type,
                                                          std::string* error,
                                                          MultipartLimits limits = {});

// The first part called `name`, or null.
const MultipartPart* multipart_find(const std::vector<MultipartPart>& parts, std::string_view name);

// The bytes of `part` in the body it was parsed from.
// REQUIRES: `body` is that body.
inline std::string_view multipart_bytes(std::string_view body, const MultipartPart& part) {
  return body.substr(part.offset, part.size);
}

}  // namespace halvex::server
