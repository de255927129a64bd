// The upload body of one scanned chunk: a multipart/form-data body with the
// text fields "scan_id", "offset", "chunk_size", "scan_results" and
// "region_index", and the file part "regions" (regions.bin), the region
// bytes back to back in region order.
//
// The body is written by net/multipart.h: measured before it is built, in
// 64 bits with an overflow check, and a body over kScanMaxBodyBytes is
// refused before anything is allocated. Hits and regions come from the matcher and
// are not bounded by anything else: a chunk full of JPEG starts has
// millions of overlapping 512 KiB regions. The JSON texts are written
// straight into the body, never held as a JSON tree, so building the body
// needs one allocation of its exact size.
//
// Pure functions; any thread. The body owns its bytes.

#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/multipart.h"
#include "scan/signatures.h"

namespace halvex {

// The largest body sent for one chunk (2 GiB).
constexpr uint64_t kScanMaxBodyBytes = 2147483648;

// The fields of one chunk's upload besides the hits and regions.
struct ScanUploadFields {
  std::string boundary;      // from scan_make_boundary()
  std::string scan_id;       // "" when the request had none
  uint64_t offset = 0;       // absolute disk offset of the chunk
  uint32_t chunk_bytes = 0;  // bytes read for the chunk
};

using ScanUploadBody = MultipartBody;

// "----ScanBoundary%08x%04x" (multipart_boundary).
std::string scan_make_boundary();

// "multipart/form-data; boundary=<boundary>".
std::string scan_upload_content_type(const std::string& boundary);

// The "scan_results" text: {"ftyp_list":[...],"moov_dict":{...},
// "image_sigs":[[offset,"type"],...]}, printed as cJSON prints it
// unformatted.
std::string scan_results_json(const ScanHits& hits);

// The "region_index" text: [{"start":s,"end":e,"size":n},...].
std::string scan_region_index_json(const std::vector<ScanRegion>& regions);

// The exact size of the body, or nullopt when it does not fit in 64 bits.
// Reads no region bytes.
std::optional<uint64_t> scan_upload_body_size(const ScanUploadFields& fields, const ScanHits& hits,
                                              const std::vector<ScanRegion>& regions);

// Builds the body. False, with *error set and *body left empty, when the
// body would exceed kScanMaxBodyBytes (or 64 bits) or its memory cannot be
// had.
bool scan_upload_body(const ScanUploadFields& fields, const ScanHits& hits,
                      const std::vector<ScanRegion>& regions, ScanUploadBody* body,
                      std::string* error);

}  // namespace halvex
