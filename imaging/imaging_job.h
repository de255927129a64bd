// The imaging job: copies a whole physical disk, or one local file, to the
// server as numbered parts. Started by "start_imaging" or
// "upload_local_file", stopped by "cancel_job". Three threads work on the
// parts as a pipeline: the job thread reads part n+1 while the encoder
// compresses part n and the uploader sends an earlier part in 4 MiB chunks;
// two small queues between them bound memory and let the slowest stage set
// the pace. Resumption is the server's doing: it asks for a job that starts
// at a given part number and byte offset.
//
// Threads: the handlers run on the connection thread. At most one job runs
// at a time. Each job owns its record and its cancel flag; a start while a
// cancelled job winds down queues the new job behind it.

#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/json.h"
#include "link/proto.h"

namespace halvex {

// Binds "start_imaging", "upload_local_file" and "cancel_job". A request
// without its own upload URL goes to `base_url()` (null: "").
void imaging_register_handlers(ServerBaseUrlFn base_url);

// Cancels a running job and waits up to about 10 s for its threads to end.
void imaging_shutdown();

// The request members a job works with, checked.
struct ImagingRequest {
  int32_t disk_id = -1;
  std::string file_path;  // non-empty: a file job
  int32_t part_size_mb = 500;
  std::string token;
  std::string base_url;  // "direct_url", else "server_url", else the server's
  std::string existing_disk_id;
  int32_t start_part_number = 1;
  uint64_t start_offset = 0;  // bytes
  uint64_t size_limit = 0;    // bytes; 0: to the end of the source
  std::string upload_name;
};

// Reads and checks the request. Numbers the job cannot work with (a part
// size outside 1 to 4095 MiB, a negative or non-finite offset or size, a
// first part number below 1) give nullopt and *error, so no job starts.
std::optional<ImagingRequest> imaging_parse_request(const cJSON* data,
                                                    const std::string& default_base_url,
                                                    std::string* error);

// The upload name: letters, digits, "-", "." and "_" of "disk_name" kept, a
// space made "_", everything else dropped, at most 127 characters; when that
// leaves nothing, "Disk_<n>" for a disk or the file's base name for a file.
std::string imaging_upload_name(const cJSON* data, int32_t disk_id, const std::string& file_path);

}  // namespace halvex
