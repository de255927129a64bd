// The upload client of image parts: query_chunk_status asks which chunks of
// an image part the server already holds; upload_part sends one image part
// as 4 MiB multipart chunks (net/multipart.h) through http_post
// (net/http_post.h), skipping held chunks and retrying failed ones.
//
// Threads: none of the operations keeps state between calls; they may run
// on several threads at once. Each blocks the calling thread for the whole
// exchange.
//
// Errors: every failure gives a null result and, when `error` is not null,
// a text in *error (at most 511 bytes). Texts of HTTP failures begin with
// "HTTP " and the status.

#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/json.h"

namespace halvex {

constexpr uint64_t kUploadChunkSize = 4194304;  // 4 MiB

// The flags of a chunk status reply: a zeroed flag per chunk (at most
// `total_chunks`), with flag v set for every element v of the array member
// "received_chunks" that is a whole number with 0 <= v < total_chunks.
// Elements of any other type or value are ignored, so a malformed reply can
// only make chunks go out again, never be skipped. Null when `reply` is not
// JSON.
std::optional<std::vector<uint8_t>> chunk_status_flags(std::string_view reply,
                                                       int32_t total_chunks);

// Which of `total_chunks` chunks of part `part_number` the server holds:
// a flag per chunk (1 = held). Null on any failure; the caller then sends
// every chunk. Logs one INFO line when at least one chunk is held.
std::optional<std::vector<uint8_t>> query_chunk_status(const std::string& base_url,
                                                       const std::string& token,
                                                       const std::string& batch_id,
                                                       int32_t part_number, int32_t total_chunks);

// What upload_part sends besides the bytes.
struct UploadPartInfo {
  std::string base_url;  // e.g. "https://host:8443", no trailing "/"
  std::string token;
  std::string batch_id;
  int32_t part_number = 0;
  int32_t total_parts = 0;
  std::string format;  // "" for raw bytes, "hximg" for encoded
  uint64_t uncompressed_size = 0;
  std::string disk_name;         // "" when none was given
  std::string existing_disk_id;  // "" when none
};

// Sends `length` bytes at `data` as chunks of kUploadChunkSize (an empty
// part as one empty chunk), skipping chunks the server already holds and
// retrying each failed chunk twice (after 3 s and 6 s) unless the server
// answered 401, 403 or 404. `cancel`, when not null, is checked before every
// chunk ("Upload cancelled"). Returns the reply to the last chunk sent, or
// {"status": "ok"} (with "disk_id" = existing_disk_id when given) when every
// chunk was already held; null on failure with *error set.
Json upload_part(const UploadPartInfo& info, const uint8_t* data, uint64_t length,
                 const std::atomic<bool>* cancel, std::string* error);

}  // namespace halvex
