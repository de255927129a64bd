// Fixed-width integers in byte buffers, in a stated byte order: the one
// place that reads little-endian fields of file systems and hximg files and
// big-endian fields of media boxes, whatever the machine's own order.
//
// Pure inline functions; any thread. REQUIRES: `p` points to at least as
// many bytes as the width.

#pragma once

#include <cstdint>

namespace halvex {

inline uint16_t get_le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t get_le32(const uint8_t* p) {
  return uint32_t{get_le16(p)} | uint32_t{get_le16(p + 2)} << 16;
}
inline uint64_t get_le64(const uint8_t* p) {
  return uint64_t{get_le32(p)} | uint64_t{get_le32(p + 4)} << 32;
}

inline uint16_t get_be16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t get_be32(const uint8_t* p) { return uint32_t{get_be16(p)} << 16 | get_be16(p + 2); }

inline void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put_le64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; i++) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace halvex
