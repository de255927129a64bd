#include "server/admin/range.h"

#include <charconv>
#include <optional>

namespace halvex::server {
namespace {

// Digits only (no sign, no space), within uint64_t.
std::optional<uint64_t> digits(std::string_view text) {
  if (text.empty()) return std::nullopt;
  uint64_t v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return v;
}

}  // namespace

ByteRange http_range(std::string_view header, uint64_t size) {
  constexpr std::string_view kUnit = "bytes=";
  const ByteRange whole;
  if (header.substr(0, kUnit.size()) != kUnit) return whole;
  std::string_view spec = header.substr(kUnit.size());
  size_t dash = spec.find('-');
  if (dash == std::string_view::npos || spec.find(',') != std::string_view::npos) return whole;
  std::string_view a = spec.substr(0, dash), b = spec.substr(dash + 1);
  ByteRange r{RangeKind::kPart, 0, 0};
  if (a.empty()) {  // "-N": the last N bytes
    std::optional<uint64_t> n = digits(b);
    if (!n) return whole;
    if (*n == 0 || size == 0) return {RangeKind::kUnsatisfiable, 0, 0};
    r.length = std::min(*n, size);
    r.first = size - r.length;
    return r;
  }
  std::optional<uint64_t> first = digits(a);
  std::optional<uint64_t> last = b.empty() ? std::optional<uint64_t>(UINT64_MAX) : digits(b);
  if (!first || !last || *last < *first) return whole;
  if (*first >= size) return {RangeKind::kUnsatisfiable, 0, 0};
  r.first = *first;
  r.length = std::min(*last, size - 1) - *first + 1;
  return r;
}

std::string content_range(const ByteRange& r, uint64_t size) {
  if (r.kind != RangeKind::kPart) return "bytes */" + std::to_string(size);
  return "bytes " + std::to_string(r.first) + "-" + std::to_string(r.first + r.length - 1) + "/" +
         std::to_string(size);
}

HttpResponse ranged_file_reply(std::string_view header, uint64_t size) {
  ByteRange range = http_range(header, size);
  HttpResponse r;
  if (range.kind == RangeKind::kUnsatisfiable) {
    r.status = 416;
    r.content_type = "text/plain; charset=utf-8";
    r.body = "Range not satisfiable\n";
    r.content_range = content_range(range, size);
    return r;
  }
  r.content_type = "application/octet-stream";
  r.file_length = size;
  if (range.kind == RangeKind::kPart) {
    r.status = 206;
    r.file_offset = range.first;
    r.file_length = range.length;
    r.content_range = content_range(range, size);
  }
  return r;
}

}  // namespace halvex::server
