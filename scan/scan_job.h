// The remote scan: on "stream_disk_chunks" the service reads a byte range
// of a disk (or disk image) in large chunks, runs the signature matcher
// over every chunk, and uploads each chunk's hits with the bytes around
// them to the server, after sending the FAT32/exFAT directory tree found at
// the start of the disk. "cancel_remote_scan" stops it before its next
// chunk; the uploads under way finish. One scan runs at a time.
//
// Threads: the two handlers run on the connection thread and return at
// once; the scan runs on a detached thread of its own, which owns its
// parsed copy of the request, its disk reader, chunk buffers and upload
// bodies. While one chunk is matched, a second thread reads the next into
// a second buffer (for chunks up to 64 MiB). The uploads run on two upload
// threads in turn, two at a time (one when a body is over 64 MiB), so the
// server receives one chunk while it stores the other. The running and
// cancel flags are the only shared state.
//
// Events: "stream_chunk_progress", "directory_tree", "remote_scan_error",
// "stream_chunk_complete".

#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/json.h"
#include "link/proto.h"
#include "scan/signatures.h"

namespace halvex {

// Registers "stream_disk_chunks" and "cancel_remote_scan", in this order. A
// request without its own upload URL goes to `base_url()` (null: "").
void scan_register_handlers(ServerBaseUrlFn base_url);

constexpr int32_t kScanDefaultChunkSize = 67108864;  // 64 MiB

// A "stream_disk_chunks" request with its defaults applied.
struct ScanRequest {
  std::optional<std::string> scan_id;  // absent: events carry none
  // The source: "disk_path" (an image file, a device, or "\\.\PHYSICALDRIVE<n>")
  // when it is a non-empty string, else disk number "disk_id" (-1 when
  // absent, which names no disk).
  std::string disk_path;
  int32_t disk_id = -1;
  int32_t chunk_size = kScanDefaultChunkSize;
  uint64_t start = 0;       // "start_offset"
  uint64_t scan_size = 0;   // 0: to the end of the disk
  uint64_t total_size = 0;  // 0: ask the disk
  // "<base>/api/remote/scanned_chunk?token=<upload_token>"; base is
  // "direct_url", else "server_url", else `default_base`. Kept whole: a scan
  // whose URL is over 511 characters is refused ("Upload URL too long").
  std::string upload_url;
  ScanConfig config;
};

// Reads the request `d` (any JSON value or null); never fails. Negative
// offsets and sizes read as 0.
ScanRequest scan_read_request(const cJSON* d, const std::string& default_base);

// The device or image file to read, or nullopt when the request names
// none that exists.
std::optional<std::string> scan_source(const ScanRequest& request);

// The end (exclusive) of the scanned range on a disk of `total` bytes: the
// disk's end when scan_size is 0 or reaches past it.
uint64_t scan_end(const ScanRequest& request, uint64_t total);

}  // namespace halvex
