#include "imaging/hximg.h"

#include <cstring>
#include <new>
#include <string>

#include "core/coding.h"
#include "core/log.h"
#include "core/util.h"

namespace halvex {
namespace {

constexpr uint32_t kFormatWord = 0x04000001;

struct Block {
  uint8_t type;
  uint32_t offset;
  uint32_t stored;
};

// True when all `n` bytes at `p` equal `b`. Most blocks that differ do so
// at once, so a short byte loop comes first. The rest is compared with
// memcmp against a cache-resident run of `b`: the library's vector compare
// reads the block once at memory speed, where a byte loop is several times
// slower and zero-filled disks are mostly this test.
bool all_equal(const uint8_t* p, uint64_t n, uint8_t b) {
  constexpr uint64_t kHead = 64;
  constexpr uint64_t kChunk = 4096;
  const uint64_t head = n < kHead ? n : kHead;
  for (uint64_t i = 0; i < head; i++) {
    if (p[i] != b) return false;
  }
  uint8_t run[kChunk];
  std::memset(run, b, sizeof run);
  for (uint64_t i = head; i < n; i += kChunk) {
    const uint64_t len = n - i < kChunk ? n - i : kChunk;
    if (std::memcmp(p + i, run, len) != 0) return false;
  }
  return true;
}

// Classifies one block and advances the running offset *r.
Block classify(const uint8_t* block, uint64_t len, uint64_t* r) {
  const uint8_t b = block[0];
  if (len > 1 && !all_equal(block + 1, len - 1, b)) {
    Block raw{HXIMG_BLOCK_RAW, static_cast<uint32_t>(*r), static_cast<uint32_t>(len)};
    *r += len;
    return raw;
  }
  if (b == 0) return Block{HXIMG_BLOCK_ZERO, 0, 0};
  Block fill{HXIMG_BLOCK_FILL, static_cast<uint32_t>(*r), 1};
  *r += 1;
  return fill;
}

uint64_t block_length(uint64_t length, uint64_t i) {
  uint64_t rest = length - i * kHximgBlockSize;
  return rest < kHximgBlockSize ? rest : kHximgBlockSize;
}

void write_header(uint8_t* out, uint64_t length, uint32_t n) {
  std::memcpy(out, "HXIM", 4);
  put_le32(out + 4, kFormatWord);
  put_le64(out + 8, length);
  put_le32(out + 16, n);
  put_le32(out + 20, static_cast<uint32_t>(kHximgHeaderLength));
  put_le32(out + 24, static_cast<uint32_t>(kHximgHeaderLength + kHximgEntryLength * n));
  put_le32(out + 28, 0);
}

void write_entry(uint8_t* e, const Block& block) {
  e[0] = block.type;
  e[1] = e[2] = e[3] = 0;
  put_le32(e + 4, block.offset);
  put_le32(e + 8, block.stored);
}

// The table entries and the data area, from the blocks found in the first
// pass; each raw block is copied once, in one piece.
void write_blocks(uint8_t* out, const Block* blocks, uint64_t n, const uint8_t* data) {
  uint8_t* area = out + kHximgHeaderLength + kHximgEntryLength * n;
  for (uint64_t i = 0; i < n; i++) {
    const Block& block = blocks[i];
    write_entry(out + kHximgHeaderLength + kHximgEntryLength * i, block);
    const uint8_t* src = data + i * kHximgBlockSize;
    if (block.type == HXIMG_BLOCK_FILL) area[block.offset] = src[0];
    if (block.type == HXIMG_BLOCK_RAW) std::memcpy(area + block.offset, src, block.stored);
  }
}

}  // namespace

PartBuffer hximg_encode(const uint8_t* data, uint64_t length, uint64_t* encoded_length,
                        const std::vector<bool>* zero_blocks) {
  // ceil(length / block size), written so that no length can overflow it.
  const uint64_t n = length / kHximgBlockSize + (length % kHximgBlockSize != 0);
  const uint64_t data_offset = kHximgHeaderLength + kHximgEntryLength * n;
  // The data offset is a 32-bit header field.
  if (data_offset > UINT32_MAX) return nullptr;
  std::unique_ptr<Block[]> blocks(new (std::nothrow) Block[n]);
  if (n > 0 && !blocks) return nullptr;

  uint64_t r = 0;
  for (uint64_t i = 0; i < n; i++) {
    if (zero_blocks && i < zero_blocks->size() && (*zero_blocks)[i]) {
      blocks[i] = Block{HXIMG_BLOCK_ZERO, 0, 0};
      continue;
    }
    blocks[i] = classify(data + i * kHximgBlockSize, block_length(length, i), &r);
    // Every offset below is then < 2^32, and so is every stored length.
    if (r > UINT32_MAX) return nullptr;
  }

  const uint64_t total = data_offset + r;
  PartBuffer out = part_buffer_alloc(total);
  if (!out) return nullptr;
  write_header(out.get(), length, static_cast<uint32_t>(n));
  write_blocks(out.get(), blocks.get(), n, data);
  *encoded_length = total;
  return out;
}

namespace {

// Writes the zeros the reader skipped, so the raw bytes are the source's.
void fill_zero_blocks(ImagingPart* part) {
  for (uint64_t i = 0; i < part->zero_blocks.size(); i++) {
    if (!part->zero_blocks[i]) continue;
    const uint64_t at = i * kHximgBlockSize;
    std::memset(part->bytes.get() + at, 0, block_length(part->length, i));
  }
  part->zero_blocks.clear();
}

// Replaces the raw bytes of `part` by their encoding, or leaves the part raw.
void encode_part(ImagingPart* part) {
  uint64_t encoded_length = 0;
  PartBuffer encoded =
      hximg_encode(part->bytes.get(), part->length, &encoded_length, &part->zero_blocks);
  if (!encoded) {
    log_msg(LOG_WARN, "  Part %d: hximg encode failed, sending raw", part->part_number);
    fill_zero_blocks(part);
    return;
  }
  part->zero_blocks.clear();
  double saved = 0.0;  // an empty part saves nothing
  if (part->length > 0) {
    saved = (1.0 - static_cast<double>(encoded_length) / static_cast<double>(part->length)) * 100.0;
  }
  log_msg(LOG_INFO, "  Part %d: hximg %s -> %s (%.1f%% saved)", part->part_number,
          format_size(part->length).c_str(), format_size(encoded_length).c_str(), saved);
  part->bytes = std::move(encoded);
  part->length = encoded_length;
  part->format = "hximg";
}

}  // namespace

void hximg_encode_stage(PartQueue* raw, PartQueue* encoded, const std::atomic<bool>& cancel) {
  // Once cancelled, keep popping to the end marker: the reader may be blocked
  // on a full raw queue and only our pops let it finish.
  bool discarding = false;
  while (std::unique_ptr<ImagingPart> part = raw->pop()) {
    if (discarding || cancel.load()) {
      discarding = true;
      continue;
    }
    encode_part(part.get());
    encoded->push(std::move(part));
  }
  encoded->push(nullptr);
}

}  // namespace halvex
