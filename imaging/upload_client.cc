// The upload client on top of platform/http.h: request time limits, reply
// handling, the chunk multipart bodies and the chunk retry rules.

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
#include "imaging/upload_client_testing.h"
#include "platform/http.h"
#include "platform/random.h"

namespace halvex {
namespace {

constexpr size_t kErrorCapacity = 512;     // error texts keep 511 bytes
constexpr size_t kFileNameCapacity = 128;  // part file names keep 127 bytes
constexpr int kChunkAttempts = 3;
constexpr uint32_t kRetryUnitMs = 3000;  // waits of 1 and 2 units between attempts

std::atomic<uint32_t> g_retry_unit_ms{kRetryUnitMs};

void set_error(std::string* error, const std::string& text) {
  if (error != nullptr) *error = text_cut(text, kErrorCapacity);
}

std::string status_text(long status) { return std::to_string(status); }

// The reply as text: like a C string, it ends at its first NUL.
std::string_view reply_text(const std::string& body) {
  return std::string_view(body).substr(0, body.find('\0'));
}

// The connect limit of a post grows with the body: a second per 32 KiB on a
// base of 60 s, within 30 s to 10 min (a 4 MiB chunk gets 188 s). Computed
// in 64 bits, so no body size can wrap it to a short limit.
long post_connect_ms(uint64_t body_length) {
  if (body_length == 0) return 30000;
  uint64_t ms = body_length / 32768 * 1000 + 60000;
  return static_cast<long>(std::clamp<uint64_t>(ms, 30000, 600000));
}

struct PostResult {
  Json reply;
  long status = 0;
  std::string error;
};

// One POST. The transport's failures read as the texts the server's
// operators know from the Windows agent, with libcurl's code as the number.
PostResult post(const std::string& url, const void* body, uint64_t body_length,
                const std::string& content_type) {
  PostResult result;
  HttpTimeouts timeouts;
  timeouts.resolve_ms = 30000;
  timeouts.connect_ms = post_connect_ms(body_length);
  timeouts.send_ms = 600000;
  timeouts.receive_ms = 600000;
  HttpReply reply;
  std::string error;
  if (!http_request("POST", url, kUserAgent, body, body_length, content_type, timeouts,
                    kUploadReplyCap, &reply, &error)) {
    std::string code = std::to_string(reply.failure_code);
    switch (reply.failure) {
      case HttpFailure::kUrl:
        result.error = "Invalid URL";
        break;
      case HttpFailure::kReceive:
        result.error = "WinHttpReceiveResponse failed (" + code + ")";
        break;
      default:
        result.error = "WinHttpSendRequest failed (" + code + ")";
        break;
    }
    return result;
  }
  result.status = reply.status;
  std::string_view text = reply_text(reply.body);
  if (reply.status > 399) {
    result.error = "HTTP " + status_text(reply.status) + ": " + std::string(text);
    return result;
  }
  result.reply = json_parse(text);
  if (!result.reply) result.error = "Invalid JSON response (HTTP " + status_text(reply.status) + ")";
  return result;
}

// "----ChunkBoundary" and 12 hex digits from 6 fresh random bytes.
bool make_boundary(std::string* out) {
  uint32_t first = 0;
  uint16_t second = 0;
  if (!random_bytes(&first, sizeof first) || !random_bytes(&second, sizeof second)) return false;
  char buf[40];
  std::snprintf(buf, sizeof buf, "----ChunkBoundary%08x%04x", first, second);
  *out = buf;
  return true;
}

void add_field(std::string* out, const std::string& boundary, const char* name,
               const std::string& value) {
  *out += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
          value + "\r\n";
}

// "<disk name or part>.part<NNN>.hximg" for hximg parts, ".img" otherwise.
std::string part_file_name(const UploadPartInfo& info) {
  const std::string& base = info.disk_name.empty() ? std::string("part") : info.disk_name;
  char number[16];
  std::snprintf(number, sizeof number, "%03d", info.part_number);
  std::string ext = info.format == "hximg" ? ".hximg" : ".img";
  return text_cut(base + ".part" + number + ext, kFileNameCapacity);
}

// A chunk request body, in one allocation.
struct ChunkBody {
  std::unique_ptr<uint8_t[]> bytes;
  size_t size = 0;
};

// Writes the form fields, the file field with the chunk bytes and the
// closing line. The allocation is sized from the finished header text, so
// no disk name or disk id can outgrow it.
bool build_chunk_body(const UploadPartInfo& info, const std::string& file_name,
                      const std::string& boundary, int32_t chunk, int32_t total_chunks,
                      const uint8_t* data, uint64_t length, ChunkBody* out) {
  std::string head;
  add_field(&head, boundary, "batch_id", info.batch_id);
  add_field(&head, boundary, "part_number", std::to_string(info.part_number));
  add_field(&head, boundary, "total_parts", std::to_string(info.total_parts));
  add_field(&head, boundary, "chunk_index", std::to_string(chunk));
  add_field(&head, boundary, "total_chunks", std::to_string(total_chunks));
  add_field(&head, boundary, "filename", file_name);
  add_field(&head, boundary, "disk_name", info.disk_name);
  if (!info.format.empty()) {
    add_field(&head, boundary, "compressed", info.format);
    add_field(&head, boundary, "original_size", std::to_string(info.uncompressed_size));
  }
  if (!info.existing_disk_id.empty()) {
    add_field(&head, boundary, "existing_disk_id", info.existing_disk_id);
  }
  char index[16];
  std::snprintf(index, sizeof index, "%04d", chunk);
  head += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"chunk\"; filename=\"chunk" +
          index + "\"\r\nContent-Type: application/octet-stream\r\n\r\n";
  std::string tail = "\r\n--" + boundary + "--\r\n";

  out->size = head.size() + static_cast<size_t>(length) + tail.size();
  out->bytes.reset(new (std::nothrow) uint8_t[out->size]);
  if (!out->bytes) return false;
  uint8_t* p = out->bytes.get();
  std::memcpy(p, head.data(), head.size());
  if (length > 0) std::memcpy(p + head.size(), data, static_cast<size_t>(length));
  std::memcpy(p + head.size() + length, tail.data(), tail.size());
  return true;
}

bool is_final_status(long status) { return status == 401 || status == 403 || status == 404; }

// Sends one chunk body, retrying as the server expects: 401, 403 and 404
// end the part at once, anything else gets two more attempts after 3 s and
// 6 s. Returns the reply, or null with *error set.
Json send_chunk(const std::string& url, int32_t chunk, const ChunkBody& body,
                const std::string& content_type, std::string* error) {
  for (int attempt = 1;; attempt++) {
    PostResult r = post(url, body.bytes.get(), body.size, content_type);
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
    sleep_ms(g_retry_unit_ms.load() * static_cast<uint32_t>(attempt));
  }
}

}  // namespace

void upload_set_retry_unit_ms_for_testing(uint32_t ms) { g_retry_unit_ms = ms; }

Json http_post(const std::string& url, const void* body, uint64_t body_length,
               const std::string& content_type, std::string* error) {
  PostResult r = post(url, body, body_length, content_type);
  if (!r.reply) set_error(error, r.error);
  return std::move(r.reply);
}

std::optional<std::vector<uint8_t>> chunk_status_flags(std::string_view reply,
                                                       int32_t total_chunks) {
  Json root = json_parse(reply);
  if (!root) return std::nullopt;
  std::vector<uint8_t> flags(total_chunks > 0 ? static_cast<size_t>(total_chunks) : 0, 0);
  const cJSON* held = json_get(root.get(), "received_chunks");
  int n = json_is_array(held) ? json_array_size(held) : 0;
  for (int i = 0; i < n; i++) {
    const cJSON* item = json_array_item(held, i);
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
                                                       int32_t part_number,
                                                       int32_t total_chunks) {
  std::string url = base_url + "/upload_chunk_status?token=" + token + "&batch_id=" + batch_id +
                    "&part_number=" + std::to_string(part_number);
  HttpTimeouts timeouts;
  timeouts.resolve_ms = 10000;
  timeouts.connect_ms = 10000;
  timeouts.send_ms = 15000;
  timeouts.receive_ms = 15000;
  HttpReply reply;
  if (!http_request("GET", url, kUserAgent, nullptr, 0, "", timeouts, kUploadReplyCap, &reply,
                    nullptr)) {
    return std::nullopt;
  }
  // The status is not examined: whatever JSON comes back is read.
  std::optional<std::vector<uint8_t>> flags =
      chunk_status_flags(reply_text(reply.body), total_chunks);
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
    std::string boundary;
    ChunkBody body;
    if (!make_boundary(&boundary) ||
        !build_chunk_body(info, file_name, boundary, c, total, data + offset, chunk_length,
                          &body)) {
      set_error(error, "Failed to build chunk body");
      return nullptr;
    }
    Json reply = send_chunk(url, c, body, "multipart/form-data; boundary=" + boundary, error);
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
