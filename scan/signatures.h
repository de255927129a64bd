// The signature matcher of a remote scan: finds, inside one chunk of a raw
// disk, the starts of media files and media structures (ISO base-media
// `ftyp` and `moov` boxes, Sony ARW raw images, JPEG starts, XML documents,
// and server-defined byte signatures), and selects the byte ranges of the
// chunk (regions) that are uploaded with the hits.
//
// Both operations are pure functions of their arguments: nothing is kept
// between chunks, so a structure that straddles two chunks is seen only from
// the chunk that holds its first bytes. Any thread may call them. All
// offsets are absolute disk offsets in 64 bits.

#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/codec.h"

struct cJSON;

namespace halvex {

// One server-defined signature of "generic_sig_defs".
struct GenericSig {
  std::string name;  // the member's key, cut to 15 characters
  Bytes magic;       // never empty
  uint64_t align;    // 0: probe at chunk positions 0, m, 2m (m = magic length)
};

// The "scan_config" object read once, with every default and fall-back
// applied.
struct ScanConfig {
  uint32_t sector_size = 512;  // never 0
  uint32_t moov_min = 1000;
  uint32_t moov_max = 52428800;
  bool arw_enabled = true;
  std::vector<GenericSig> generic;  // in document order
};

// Reads "scan_config" (null or any JSON value): a member of the wrong type
// falls back to its default, a "sector_size" of 0 or below to 512, and a
// generic definition whose "magic" does not decode to at least one byte is
// dropped. Never fails.
ScanConfig scan_config_read(const cJSON* scan_config);

struct MoovHit {
  uint64_t offset;  // first byte of the box
  uint32_t size;    // box size as read from its header
};

struct ImageHit {
  uint64_t offset;   // first byte of the match
  std::string type;  // "ARW", "JPEG", "XML" or a signature name; at most 15 characters
};

// The most hits kept from one chunk, over all three lists. A one-byte
// server signature without alignment matches at every byte of a blank
// chunk: 67 million hits (gigabytes) for 64 MiB.
constexpr uint64_t kScanMaxHits = 1000000;

// The hits of one chunk, each list in the order the hits are found. When
// the chunk holds more than kScanMaxHits, the first ones found are kept and
// `truncated` is set.
struct ScanHits {
  std::vector<uint64_t> ftyp_offsets;
  std::vector<MoovHit> moov_hits;
  std::vector<ImageHit> image_hits;  // ARW, then JPEG, XML, generic by signature
  bool truncated = false;
};

// A byte range of the chunk to upload. `data` points into the chunk buffer
// and is valid as long as that buffer is.
struct ScanRegion {
  uint64_t start;
  uint64_t end;   // exclusive
  uint64_t size;  // end - start
  const uint8_t* data;
};

// Bytes uploaded from an image or ftyp hit, and from the start of the disk.
constexpr uint64_t kScanHitRegionBytes = 524288;
constexpr uint64_t kScanDiskStartBytes = 4194304;

// Finds the hits in data[0, length), data[0] lying at disk offset
// `chunk_offset`. A chunk shorter than 32 bytes has no hits. At most
// kScanMaxHits are kept (see ScanHits); the fixed passes run block by block
// and the generic signatures after them, so with too many hits, those of
// the fixed passes in the chunk's first blocks are kept first.
ScanHits scan_signatures(uint64_t chunk_offset, const uint8_t* data, uint64_t length,
                         const ScanConfig& config);
ScanHits scan_signatures(uint64_t chunk_offset, const uint8_t* data, uint64_t length,
                         const cJSON* scan_config);

// The regions to upload for `hits`, found by scan_signatures in the same
// chunk: whole moov boxes that end inside the chunk, up to 512 KiB from
// every image hit, the first 4 MiB of the disk when the chunk starts at
// disk offset 0 and holds at least 512 bytes, then up to 512 KiB from every
// ftyp box. Every region lies inside the chunk.
std::vector<ScanRegion> build_regions(uint64_t chunk_offset, const uint8_t* data, uint64_t length,
                                      const ScanHits& hits);

}  // namespace halvex
