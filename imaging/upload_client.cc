// The upload client on top of net/http_post.h and net/multipart.h: the
// chunk status query, the chunk bodies and the chunk retry rules.

#include "imaging/upload_client.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "core/log.h"
#include "core/util.h"
#include "core/version.h"
#include "net/http_post.h"
#include "net/multipart.h"
#include "platform/clock.h"
#include "platform/http.h"

namespace halvex {
namespace {

constexpr size_t kErrorCapacity = 512;     // error texts keep 511 bytes
constexpr size_t kFileNameCapacity = 128;  // part file names keep 127 bytes
constexpr int kChunkAttempts = 3;
constexpr uint32_t kRetryUnitMs = 3000;  // waits of 1 and 2 units between attempts

void set_error(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text_cut(text, kErrorCapacity);
}

// "<disk name or part>.part<NNN>.hximg" for hximg parts, ".img" otherwise.
std::string part_file_name(const UploadPartInfo& info) {
  const std::string& base = info.disk_name.empty() ? std::string("part") : info.disk_name;
  char number[16];
  std::snprintf(number, sizeof number, "%03d", info.part_number);
  std::string ext = info.format == "hximg" ? ".hximg" : ".img";
  return text_cut(base + ".part" + number + ext, kFileNameCapacity);
}

// A chunk request body: the form fields, the file field with the chunk
// bytes and the closing line, in one allocation of its exact size.
bool build_chunk_body(const UploadPartInfo& info, const std::string& file_name,
                      const std::string& boundary, int32_t chunk, int32_t total_chunks,
                      const uint8_t* data, uint64_t length, MultipartBody* out) {
  char index[16];
  std::snprintf(index, sizeof index, "chunk%04d", chunk);
  auto write = [&](MultipartWriter& w) {
    w.text_field("batch_id", info.batch_id);
    w.text_field("part_number", std::to_string(info.part_number));
    w.text_field("total_parts", std::to_string(info.total_parts));
    w.text_field("chunk_index", std::to_string(chunk));
    w.text_field("total_chunks", std::to_string(total_chunks));
    w.text_field("filename", file_name);
    w.text_field("disk_name", info.disk_name);
    if (!info.format.empty()) {
      w.text_field("compressed", info.format);
      w.text_field("original_size", std::to_string(info.uncompressed_size));
    }
    if (!info.existing_disk_id.empty()) w.text_field("existing_disk_id", info.existing_disk_id);
    w.file_begin("chunk", index, "application/octet-stream");
    w.put_bytes(data, length);
    w.finish();
  };
  std::string error;
  return multipart_build(boundary, kMultipartNoLimit, write, out, &error);
}

bool is_final_status(long status) { return status == 401 || status == 403 || status == 404; }

// Sends one chunk body, retrying as the server expects: 401, 403 and 404
// end the part at once, anything else gets two more attempts after 3 s and
// 6 s. Returns the reply, or null with *error set.
Json send_chunk(const std::string& url, int32_t chunk, const MultipartBody& body,
                const std::string& content_type, std::string* error) {
  for (int attempt = 1;; attempt++) {
    HttpPostResult r = http_post_result(url, body.data.get(), body.size, content_type);
    if (r.reply) return std::move(r.reply);
    std::string cause = r.error.empty() ? "unknown" : r.error;
    if (is_final_status(r.status)) {
      set_error(error, "Chunk " + std::to_string(chunk) + ": " + cause);
      return nullptr;
    }
    if (attempt == kChunkAttempts) {
      set_error(error, "Chunk " + std::to_string(chunk) + " failed after " +
                           std::to_string(kChunkAttempts) + " retries: " + cause);
      return nullptr;
    }
    log_msg(LOG_WARN, "upload: chunk %d error: %s, retrying in %ds", chunk, cause.c_str(),
            static_cast<int>(kRetryUnitMs / 1000) * attempt);
    clock_wait_ms(kRetryUnitMs * static_cast<uint32_t>(attempt));
  }
}

}  // namespace

std::optional<std::vector<uint8_t>> chunk_status_flags(std::string_view reply,
                                                       int32_t total_chunks) {
  Json root = json_parse(reply);
  if (!root) return std::nullopt;
  std::vector<uint8_t> flags(total_chunks > 0 ? static_cast<size_t>(total_chunks) : 0, 0);
  const cJSON* held = json_get(root.get(), "received_chunks");
  for (const cJSON* item = json_is_array(held) ? json_first(held) : nullptr; item != nullptr;
       item = json_next(item)) {
    if (!json_is_number(item)) continue;
    double v = json_number_value(item);
    if (v >= 0 && v < static_cast<double>(flags.size()) && v == std::floor(v)) {
      flags[static_cast<size_t>(v)] = 1;
    }
  }
  return flags;
}

std::optional<std::vector<uint8_t>> query_chunk_status(const std::string& base_url,
                                                       const std::string& token,
                                                       const std::string& batch_id,
                                                       int32_t part_number, int32_t total_chunks) {
  std::string url = base_url + "/upload_chunk_status?token=" + token + "&batch_id=" + batch_id +
                    "&part_number=" + std::to_string(part_number);
  HttpTimeouts timeouts;
  timeouts.resolve_ms = 10000;
  timeouts.connect_ms = 10000;
  timeouts.send_ms = 15000;
  timeouts.receive_ms = 15000;
  HttpReply reply;
  if (!http_request("GET", url, kUserAgent, nullptr, 0, "", timeouts, kHttpReplyCap, &reply,
                    nullptr)) {
    return std::nullopt;
  }
  // The status is not examined: whatever JSON comes back is read.
  std::optional<std::vector<uint8_t>> flags =
      chunk_status_flags(http_reply_text(reply.body), total_chunks);
  if (!flags) return std::nullopt;
  int held = 0;
  for (uint8_t f : *flags) held += f;
  if (held > 0) {
    log_msg(LOG_INFO, "upload: resume — %d/%d chunks already on server, skipping", held,
            total_chunks);
  }
  return flags;
}

Json upload_part(const UploadPartInfo& info, const uint8_t* data, uint64_t length,
                 const std::atomic<bool>* cancel, std::string* error) {
  uint64_t chunks = length / kUploadChunkSize + (length % kUploadChunkSize != 0 ? 1 : 0);
  if (chunks == 0) chunks = 1;  // an empty part goes out as one empty chunk
  if (chunks > static_cast<uint64_t>(INT32_MAX)) {
    set_error(error, "Failed to build chunk body");
    return nullptr;
  }
  int32_t total = static_cast<int32_t>(chunks);
  std::string file_name = part_file_name(info);
  std::string url = info.base_url + "/upload_chunk?token=" + info.token;
  std::optional<std::vector<uint8_t>> held =
      query_chunk_status(info.base_url, info.token, info.batch_id, info.part_number, total);

  Json last;
  for (int32_t c = 0; c < total; c++) {
    if (cancel != nullptr && cancel->load()) {
      set_error(error, "Upload cancelled");
      return nullptr;
    }
    if (held && (*held)[static_cast<size_t>(c)] != 0) continue;
    uint64_t offset = static_cast<uint64_t>(c) * kUploadChunkSize;
    uint64_t chunk_length = std::min(kUploadChunkSize, length - offset);
    std::string boundary = multipart_boundary("----ChunkBoundary");
    MultipartBody body;
    if (!build_chunk_body(info, file_name, boundary, c, total, data + offset, chunk_length,
                          &body)) {
      set_error(error, "Failed to build chunk body");
      return nullptr;
    }
    Json reply = send_chunk(url, c, body, multipart_content_type(boundary), error);
    if (!reply) return nullptr;
    last = std::move(reply);
  }
  if (last) return last;
  // Every chunk was already on the server.
  Json ok = json_object();
  json_add_string(ok.get(), "status", "ok");
  if (!info.existing_disk_id.empty()) json_add_string(ok.get(), "disk_id", info.existing_disk_id);
  return ok;
}

}  // namespace halvex
