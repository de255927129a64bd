// Upload bodies for the server's tests, written byte for byte the way the
// agent writes them: chunk uploads of image parts, scan chunk uploads and
// thumbnails; and a small hximg writer for parts in the compressed form.

#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/codec.h"

namespace halvex::server::testing {

constexpr uint64_t kMiB = 1048576;

inline std::string text_field(const std::string& boundary, const std::string& name,
                              const std::string& value) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
         value + "\r\n";
}

inline std::string file_field(const std::string& boundary, const std::string& name,
                              const std::string& filename, const std::string& type) {
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name +
         "\"; filename=\"" + filename + "\"\r\nContent-Type: " + type + "\r\n\r\n";
}

inline std::string closing(const std::string& boundary) { return "\r\n--" + boundary + "--\r\n"; }

struct Chunk {
  std::string batch = "20250131140509";
  int part = 1, total_parts = 1, index = 0, total_chunks = 1;
  std::string compressed;  // "" or "hximg"
  uint64_t original_size = 0;
  std::string existing_disk_id;
  std::string bytes;
};

constexpr const char* kChunkBoundary = "----ChunkBoundary1a2b3c4d5e6f";

inline std::string chunk_body(const Chunk& c) {
  const std::string b = kChunkBoundary;
  char index_name[16];
  std::snprintf(index_name, sizeof index_name, "chunk%04d", c.index);
  std::string body =
      text_field(b, "batch_id", c.batch) + text_field(b, "part_number", std::to_string(c.part)) +
      text_field(b, "total_parts", std::to_string(c.total_parts)) +
      text_field(b, "chunk_index", std::to_string(c.index)) +
      text_field(b, "total_chunks", std::to_string(c.total_chunks)) +
      text_field(b, "filename", "Disk_0.part001.img") + text_field(b, "disk_name", "Disk_0");
  if (!c.compressed.empty()) {
    body += text_field(b, "compressed", c.compressed);
    body += text_field(b, "original_size", std::to_string(c.original_size));
  }
  if (!c.existing_disk_id.empty()) body += text_field(b, "existing_disk_id", c.existing_disk_id);
  return body + file_field(b, "chunk", index_name, "application/octet-stream") + c.bytes +
         closing(b);
}

inline std::string chunk_type() {
  return std::string("multipart/form-data; boundary=") + kChunkBoundary;
}

// The chunks of one part, as the agent cuts it.
inline std::vector<Chunk> part_chunks(const std::string& part, int number, int total_parts,
                                      const std::string& compressed = "",
                                      uint64_t original_size = 0) {
  std::vector<Chunk> out;
  int total = static_cast<int>(std::max<uint64_t>(1, (part.size() + 4 * kMiB - 1) / (4 * kMiB)));
  for (int i = 0; i < total; i++) {
    Chunk c;
    c.part = number;
    c.total_parts = total_parts;
    c.index = i;
    c.total_chunks = total;
    c.compressed = compressed;
    c.original_size = original_size;
    c.bytes = part.substr(static_cast<size_t>(i) * 4 * kMiB, 4 * kMiB);
    out.push_back(c);
  }
  return out;
}

// The hximg form of `raw`: 1 MiB blocks, zero and uniform blocks stored short.
inline std::string hximg(const std::string& raw) {
  auto u32 = [](std::string* s, uint32_t v) {
    for (int i = 0; i < 4; i++) s->push_back(static_cast<char>(v >> (8 * i)));
  };
  const uint64_t n = (raw.size() + kMiB - 1) / kMiB;
  std::string head = "HXIM", table, data;
  u32(&head, 0x04000001);
  u32(&head, static_cast<uint32_t>(raw.size()));
  u32(&head, static_cast<uint32_t>(raw.size() >> 32));
  u32(&head, static_cast<uint32_t>(n));
  u32(&head, 32);
  u32(&head, static_cast<uint32_t>(32 + 12 * n));
  u32(&head, 0);
  for (uint64_t i = 0; i < n; i++) {
    std::string block = raw.substr(i * kMiB, kMiB);
    bool uniform = block.find_first_not_of(block[0]) == std::string::npos;
    uint8_t type = !uniform ? 1 : block[0] == 0 ? 0 : 3;
    table.push_back(static_cast<char>(type));
    table.append(3, '\0');
    u32(&table, type == 0 ? 0 : static_cast<uint32_t>(data.size()));
    u32(&table, type == 0 ? 0 : type == 3 ? 1 : static_cast<uint32_t>(block.size()));
    if (type == 1) data += block;
    if (type == 3) data += block[0];
  }
  return head + table + data;
}

// Bytes that are neither uniform per MiB nor easy to mistake for a
// delimiter; `seed` varies them.
inline std::string pattern(uint64_t size, uint32_t seed) {
  std::string out(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (auto& c : out) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return out;
}

inline std::string sha256_hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  return hex_encode(digest, length);
}

constexpr const char* kScanBoundary = "----ScanBoundary0badf00d4c3b";

inline std::string scan_type() {
  return std::string("multipart/form-data; boundary=") + kScanBoundary;
}

inline std::string scan_body(const std::string& scan_id, uint64_t offset, uint64_t chunk_size,
                             const std::string& results, const std::string& index,
                             const std::string& regions) {
  const std::string b = kScanBoundary;
  return text_field(b, "scan_id", scan_id) + text_field(b, "offset", std::to_string(offset)) +
         text_field(b, "chunk_size", std::to_string(chunk_size)) +
         text_field(b, "scan_results", results) + text_field(b, "region_index", index) +
         file_field(b, "regions", "regions.bin", "application/octet-stream") + regions + closing(b);
}

}  // namespace halvex::server::testing
