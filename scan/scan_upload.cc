#include "scan/scan_upload.h"

#include <cstdio>
#include <string_view>

namespace halvex {

namespace {

// A JSON string escaped the way cJSON escapes it: quote, backslash and the
// control characters; every other byte, UTF-8 or not, as it is.
void put_json_string(MultipartWriter& w, std::string_view text) {
  w.put("\"");
  size_t plain = 0;  // start of the run not yet written
  for (size_t i = 0; i < text.size(); i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    w.put(text.substr(plain, i - plain));
    plain = i + 1;
    switch (c) {
      case '"':
        w.put("\\\"");
        break;
      case '\\':
        w.put("\\\\");
        break;
      case '\b':
        w.put("\\b");
        break;
      case '\f':
        w.put("\\f");
        break;
      case '\n':
        w.put("\\n");
        break;
      case '\r':
        w.put("\\r");
        break;
      case '\t':
        w.put("\\t");
        break;
      default: {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
        w.put(escaped);
      }
    }
  }
  w.put(text.substr(plain));
  w.put("\"");
}

void put_results(MultipartWriter& w, const ScanHits& hits) {
  w.put("{\"ftyp_list\":[");
  for (size_t i = 0; i < hits.ftyp_offsets.size(); i++) {
    if (i != 0) w.put(",");
    w.put_number(hits.ftyp_offsets[i]);
  }
  w.put("],\"moov_dict\":{");
  for (size_t i = 0; i < hits.moov_hits.size(); i++) {
    w.put(i != 0 ? ",\"" : "\"");
    w.put_number(hits.moov_hits[i].offset);
    w.put("\":");
    w.put_number(hits.moov_hits[i].size);
  }
  w.put("},\"image_sigs\":[");
  for (size_t i = 0; i < hits.image_hits.size(); i++) {
    w.put(i != 0 ? ",[" : "[");
    w.put_number(hits.image_hits[i].offset);
    w.put(",");
    put_json_string(w, hits.image_hits[i].type);
    w.put("]");
  }
  w.put("]}");
}

void put_region_index(MultipartWriter& w, const std::vector<ScanRegion>& regions) {
  w.put("[");
  for (size_t i = 0; i < regions.size(); i++) {
    w.put(i != 0 ? ",{\"start\":" : "{\"start\":");
    w.put_number(regions[i].start);
    w.put(",\"end\":");
    w.put_number(regions[i].end);
    w.put(",\"size\":");
    w.put_number(regions[i].size);
    w.put("}");
  }
  w.put("]");
}

MultipartWrite body_writer(const ScanUploadFields& f, const ScanHits& hits,
                           const std::vector<ScanRegion>& regions) {
  return [&f, &hits, &regions](MultipartWriter& w) {
    w.text_field("scan_id", f.scan_id);
    w.field_begin("offset");
    w.put_number(f.offset);
    w.field_end();
    w.field_begin("chunk_size");
    w.put_number(f.chunk_bytes);
    w.field_end();
    w.field_begin("scan_results");
    put_results(w, hits);
    w.field_end();
    w.field_begin("region_index");
    put_region_index(w, regions);
    w.field_end();
    w.file_begin("regions", "regions.bin", "application/octet-stream");
    for (const ScanRegion& region : regions) w.put_bytes(region.data, region.size);
    w.finish();
  };
}

}  // namespace

std::string scan_make_boundary() { return multipart_boundary("----ScanBoundary"); }

std::string scan_upload_content_type(const std::string& boundary) {
  return multipart_content_type(boundary);
}

std::string scan_results_json(const ScanHits& hits) {
  return multipart_text("", [&hits](MultipartWriter& w) { put_results(w, hits); });
}

std::string scan_region_index_json(const std::vector<ScanRegion>& regions) {
  return multipart_text("", [&regions](MultipartWriter& w) { put_region_index(w, regions); });
}

std::optional<uint64_t> scan_upload_body_size(const ScanUploadFields& fields, const ScanHits& hits,
                                              const std::vector<ScanRegion>& regions) {
  return multipart_size(fields.boundary, body_writer(fields, hits, regions));
}

bool scan_upload_body(const ScanUploadFields& fields, const ScanHits& hits,
                      const std::vector<ScanRegion>& regions, ScanUploadBody* body,
                      std::string* error) {
  return multipart_build(fields.boundary, kScanMaxBodyBytes, body_writer(fields, hits, regions),
                         body, error);
}

}  // namespace halvex
