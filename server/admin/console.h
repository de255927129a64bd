// The operator console: plain HTML, CSS and a little JavaScript served from
// the binary (console_assets.h) under /console/, behind an operator
// session. The pages call the admin API with the session and its CSRF
// token (routes.h), and the few console-only answers here:
//
//   GET /console/, /console/machine, /console/jobs, /console/gallery,
//       /console/events                  the page shell (the script picks the view)
//   GET /console/static/NAME             an asset
//   GET /console/api/session             {"user", "csrf"} for the script's POSTs
//   GET /console/api/machines/stream     the machine list as Server-Sent Events, sent
//                                        again when a machine comes online, drops
//                                        or is revoked (HttpResponse::push)
//   GET /console/api/events?before=SEQ&type=NAME   the newest events of all
//                                        machines, 50 a page, with time and machine
//   GET /console/api/scans/ID/pictures   the JPEG regions and video thumbnails of a scan
//   GET /console/api/scans/ID/videos     the "videos" of a thumbnails request for
//                                        the videos the scan found (scan_videos.h)
//   GET /console/api/scans/ID/picture?chunk=C&offset=O   one JPEG region's bytes
//   GET /console/api/scans/ID/thumbnail/N                one video thumbnail
//   GET /console/api/scans/ID/tree       the scan's directory tree
//   GET /console/api/images/ID/file      a finished image (HTTP Range works)
//   GET /console/api/files               the files folder's files, for downloads and updates
//
// Every answer carries kConsoleCsp: scripts, styles and pictures from this
// server only, nothing inline.
//
// Pure functions of the request and the files under the data folder; any
// thread.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/admin/app.h"

struct cJSON;

namespace halvex::server {

constexpr std::string_view kConsoleCsp =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "form-action 'self'; frame-ancestors 'none'; base-uri 'none'";

// The Content-Type of a console asset by its name's ending.
std::string_view console_content_type(std::string_view name);

// The page shell or asset at `path`, or nullopt when there is none.
std::optional<HttpResponse> console_static(std::string_view path);

// One JPEG region of a scan: where its bytes begin on the disk, and where
// they lie in the chunk's regions.bin.
struct ScanPicture {
  std::string chunk;    // the chunk's file name stem (20 digits)
  uint64_t offset = 0;  // disk offset of the hit
  uint64_t at = 0;      // its first byte in regions.bin
  uint64_t size = 0;    // bytes in the region
  std::string type;     // the hit's type, "JPEG"
};

// The JPEG hits of one stored chunk record ({"scan_results", "region_index"})
// that have a region starting at the hit, in hit order. Hits without one,
// and regions that do not add up, are left out.
std::vector<ScanPicture> scan_chunk_pictures(const std::string& chunk, const cJSON* record);

// A file of a scan's folder as an answer: `folder`/`name` with
// `content_type`, 404 when missing.
HttpResponse console_scan_file(const std::string& path, std::string_view content_type);

}  // namespace halvex::server
