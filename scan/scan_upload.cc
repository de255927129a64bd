#include "scan/scan_upload.h"

#include <atomic>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>

#include "platform/random.h"

namespace halvex {

namespace {

// The body is written twice by the same code: once into a counter that
// sizes it, once into its buffer. Sinks take text (put) and region bytes
// (bytes); only the counter needs to watch for overflow.
struct CountSink {
  uint64_t size = 0;
  bool overflow = false;
  void put(std::string_view text) { bytes(nullptr, text.size()); }
  void bytes(const uint8_t*, uint64_t length) {
    if (__builtin_add_overflow(size, length, &size)) overflow = true;
  }
};

struct CopySink {
  uint8_t* at;
  void put(std::string_view text) { bytes(reinterpret_cast<const uint8_t*>(text.data()), text.size()); }
  void bytes(const uint8_t* data, uint64_t length) {
    if (length != 0) std::memcpy(at, data, length);
    at += length;
  }
};

struct StringSink {
  std::string text;
  void put(std::string_view more) { text.append(more); }
  void bytes(const uint8_t* data, uint64_t length) { text.append(reinterpret_cast<const char*>(data), length); }
};

// Offsets and sizes are whole numbers, written in decimal. For every value
// below 10^15 this is the text cJSON prints for the same number; above that
// cJSON would switch to an exponent, and the digits stay exact.
template <typename Sink>
void put_number(Sink& sink, uint64_t value) {
  char digits[24];
  auto result = std::to_chars(digits, digits + sizeof digits, value);
  sink.put(std::string_view(digits, static_cast<size_t>(result.ptr - digits)));
}

// A JSON string escaped the way cJSON escapes it: quote, backslash and the
// control characters; every other byte, UTF-8 or not, as it is.
template <typename Sink>
void put_json_string(Sink& sink, std::string_view text) {
  sink.put("\"");
  size_t plain = 0;  // start of the run not yet written
  for (size_t i = 0; i < text.size(); i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    sink.put(text.substr(plain, i - plain));
    plain = i + 1;
    switch (c) {
      case '"': sink.put("\\\""); break;
      case '\\': sink.put("\\\\"); break;
      case '\b': sink.put("\\b"); break;
      case '\f': sink.put("\\f"); break;
      case '\n': sink.put("\\n"); break;
      case '\r': sink.put("\\r"); break;
      case '\t': sink.put("\\t"); break;
      default: {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
        sink.put(escaped);
      }
    }
  }
  sink.put(text.substr(plain));
  sink.put("\"");
}

template <typename Sink>
void put_results(Sink& sink, const ScanHits& hits) {
  sink.put("{\"ftyp_list\":[");
  for (size_t i = 0; i < hits.ftyp_offsets.size(); i++) {
    if (i != 0) sink.put(",");
    put_number(sink, hits.ftyp_offsets[i]);
  }
  sink.put("],\"moov_dict\":{");
  for (size_t i = 0; i < hits.moov_hits.size(); i++) {
    sink.put(i != 0 ? ",\"" : "\"");
    put_number(sink, hits.moov_hits[i].offset);
    sink.put("\":");
    put_number(sink, hits.moov_hits[i].size);
  }
  sink.put("},\"image_sigs\":[");
  for (size_t i = 0; i < hits.image_hits.size(); i++) {
    sink.put(i != 0 ? ",[" : "[");
    put_number(sink, hits.image_hits[i].offset);
    sink.put(",");
    put_json_string(sink, hits.image_hits[i].type);
    sink.put("]");
  }
  sink.put("]}");
}

template <typename Sink>
void put_region_index(Sink& sink, const std::vector<ScanRegion>& regions) {
  sink.put("[");
  for (size_t i = 0; i < regions.size(); i++) {
    sink.put(i != 0 ? ",{\"start\":" : "{\"start\":");
    put_number(sink, regions[i].start);
    sink.put(",\"end\":");
    put_number(sink, regions[i].end);
    sink.put(",\"size\":");
    put_number(sink, regions[i].size);
    sink.put("}");
  }
  sink.put("]");
}

template <typename Sink>
void put_field_header(Sink& sink, const std::string& boundary, std::string_view name) {
  sink.put("--");
  sink.put(boundary);
  sink.put("\r\nContent-Disposition: form-data; name=\"");
  sink.put(name);
  sink.put("\"\r\n\r\n");
}

template <typename Sink>
void put_text_field(Sink& sink, const std::string& boundary, std::string_view name, std::string_view value) {
  put_field_header(sink, boundary, name);
  sink.put(value);
  sink.put("\r\n");
}

template <typename Sink>
void put_body(Sink& sink, const ScanUploadFields& f, const ScanHits& hits, const std::vector<ScanRegion>& regions) {
  put_text_field(sink, f.boundary, "scan_id", f.scan_id);
  put_field_header(sink, f.boundary, "offset");
  put_number(sink, f.offset);
  sink.put("\r\n");
  put_field_header(sink, f.boundary, "chunk_size");
  put_number(sink, f.chunk_bytes);
  sink.put("\r\n");
  put_field_header(sink, f.boundary, "scan_results");
  put_results(sink, hits);
  sink.put("\r\n");
  put_field_header(sink, f.boundary, "region_index");
  put_region_index(sink, regions);
  sink.put("\r\n");

  sink.put("--");
  sink.put(f.boundary);
  sink.put("\r\nContent-Disposition: form-data; name=\"regions\"; filename=\"regions.bin\"\r\n"
           "Content-Type: application/octet-stream\r\n\r\n");
  for (const ScanRegion& region : regions) sink.bytes(region.data, region.size);
  sink.put("\r\n--");
  sink.put(f.boundary);
  sink.put("--\r\n");
}

}  // namespace

std::string scan_make_boundary() {
  uint8_t bits[6];
  if (!random_bytes(bits, sizeof bits)) {
    // The boundary needs to be unlikely inside the body, not secret: a
    // process-wide count keeps consecutive bodies apart.
    static std::atomic<uint64_t> fallback{0x5ca11ed0000ULL};
    uint64_t n = fallback.fetch_add(0x9E3779B97F4A7C15ULL);
    std::memcpy(bits, &n, sizeof bits);
  }
  uint32_t first = uint32_t{bits[0]} | uint32_t{bits[1]} << 8 | uint32_t{bits[2]} << 16 | uint32_t{bits[3]} << 24;
  uint32_t second = uint32_t{bits[4]} | uint32_t{bits[5]} << 8;
  char text[40];
  std::snprintf(text, sizeof text, "----ScanBoundary%08" PRIx32 "%04" PRIx32, first, second);
  return text;
}

std::string scan_upload_content_type(const std::string& boundary) {
  return "multipart/form-data; boundary=" + boundary;
}

std::string scan_results_json(const ScanHits& hits) {
  StringSink sink;
  put_results(sink, hits);
  return std::move(sink.text);
}

std::string scan_region_index_json(const std::vector<ScanRegion>& regions) {
  StringSink sink;
  put_region_index(sink, regions);
  return std::move(sink.text);
}

std::optional<uint64_t> scan_upload_body_size(const ScanUploadFields& fields, const ScanHits& hits,
                                              const std::vector<ScanRegion>& regions) {
  CountSink counter;
  put_body(counter, fields, hits, regions);
  if (counter.overflow) return std::nullopt;
  return counter.size;
}

bool scan_upload_body(const ScanUploadFields& fields, const ScanHits& hits,
                      const std::vector<ScanRegion>& regions, ScanUploadBody* body, std::string* error) {
  body->data.reset();
  body->size = 0;
  std::optional<uint64_t> size = scan_upload_body_size(fields, hits, regions);
  if (!size) {
    *error = "Upload body too large: its size overflows 64 bits";
    return false;
  }
  if (*size > kScanMaxBodyBytes) {
    char text[96];
    std::snprintf(text, sizeof text, "Upload body too large: %" PRIu64 " bytes", *size);
    *error = text;
    return false;
  }
  std::unique_ptr<uint8_t[]> data(new (std::nothrow) uint8_t[*size]);
  if (!data) {
    *error = "Out of memory for the upload body";
    return false;
  }
  CopySink sink{data.get()};
  put_body(sink, fields, hits, regions);
  body->data = std::move(data);
  body->size = *size;
  return true;
}

}  // namespace halvex
