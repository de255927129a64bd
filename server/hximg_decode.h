// The server's decoder of hximg parts, the compressed form in which the agent
// uploads image parts. Written from the format's definition alone and strict:
// a buffer is accepted only when its header, block table and data area agree
// exactly with each other; then, and only then, the part's bytes come out.
//
// Layout (all integers little-endian):
//   header, 32 bytes: "HXIM", 01 00 00 04, uncompressed length (u64), block
//     count N = ceil(length / 1 MiB) (u32), table offset 32 (u32), data
//     offset 32 + 12 N (u32), reserved 0 (u32);
//   N table entries of 12 bytes: type (u8: 0 zero, 1 raw, 3 fill), three
//     zero bytes, offset into the data area (u32), stored length (u32);
//   data area: the stored bytes back to back in block order, nothing else.
//
// Pure functions; any thread.

#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace halvex::server {

// Checks the whole buffer and returns the uncompressed length it declares.
// On any inconsistency returns nullopt and sets *error to "hximg: <cause>".
// `max_length` caps the declared length: 12 table bytes may stand for 1 MiB
// of output, so without a cap a small upload could demand terabytes.
std::optional<uint64_t> hximg_check(const uint8_t* data, size_t size, uint64_t max_length,
                                    std::string* error);

// hximg_check(), then the decoded part. On failure nothing is decoded:
// nullopt and *error as above.
std::optional<std::vector<uint8_t>> hximg_decode(const uint8_t* data, size_t size,
                                                 uint64_t max_length, std::string* error);

}  // namespace halvex::server
