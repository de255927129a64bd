#include "server/http/request_body.h"

#include <algorithm>
#include <fstream>

namespace halvex::server {
namespace {

constexpr size_t kPiece = 256 * 1024;

bool open_at(const RequestBody& body, uint64_t offset, std::ifstream* in, std::string* error) {
  in->open(body.file, std::ios::binary);
  if (in->is_open()) in->seekg(static_cast<std::streamoff>(offset));
  if (!*in) {
    *error = "read " + body.file + ": cannot open or seek";
    return false;
  }
  return true;
}

}  // namespace

std::optional<std::vector<MultipartPart>> body_parts(const RequestBody& body,
                                                     std::string_view content_type,
                                                     const MultipartLimits& limits,
                                                     std::string* error) {
  if (body.file.empty()) return multipart_parse(body.memory, content_type, error, limits);
  std::optional<std::string> boundary = multipart_boundary(content_type, error);
  if (!boundary) return std::nullopt;
  MultipartParser parser(std::move(*boundary), limits);
  std::ifstream in;
  if (!open_at(body, 0, &in, error)) return std::nullopt;
  std::string piece(kPiece, '\0');
  while (in) {
    in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    if (!parser.feed(std::string_view(piece.data(), static_cast<size_t>(in.gcount())))) break;
  }
  if (in.bad()) {
    *error = "read " + body.file + ": failed";
    return std::nullopt;
  }
  if (!parser.finish()) {
    *error = parser.error();
    return std::nullopt;
  }
  return parser.parts();
}

std::optional<std::string> body_read(const RequestBody& body, const MultipartPart& part,
                                     uint64_t max_bytes, std::string* error) {
  if (part.size > max_bytes) {
    *error = part.name + ": over " + std::to_string(max_bytes) + " bytes";
    return std::nullopt;
  }
  if (body.file.empty()) return std::string(multipart_bytes(body.memory, part));
  std::ifstream in;
  if (!open_at(body, part.offset, &in, error)) return std::nullopt;
  std::string out(static_cast<size_t>(part.size), '\0');
  in.read(out.data(), static_cast<std::streamsize>(out.size()));
  if (static_cast<uint64_t>(in.gcount()) != part.size) {
    *error = "read " + body.file + ": short";
    return std::nullopt;
  }
  return out;
}

bool body_copy(const RequestBody& body, const MultipartPart& part, std::ostream& out,
               std::string* error) {
  if (body.file.empty()) {
    std::string_view bytes = multipart_bytes(body.memory, part);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  } else {
    std::ifstream in;
    if (!open_at(body, part.offset, &in, error)) return false;
    std::string piece(kPiece, '\0');
    for (uint64_t left = part.size; left > 0;) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(left, piece.size()));
      in.read(piece.data(), static_cast<std::streamsize>(n));
      if (static_cast<size_t>(in.gcount()) != n) {
        *error = "read " + body.file + ": short";
        return false;
      }
      out.write(piece.data(), static_cast<std::streamsize>(n));
      left -= n;
    }
  }
  if (!out) {
    *error = "write: failed";
    return false;
  }
  return true;
}

}  // namespace halvex::server
