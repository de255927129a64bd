#include "server/uploads/hximg_decode.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/printf_format.h"

namespace halvex::server {
namespace {

constexpr uint64_t kBlockSize = 1048576;
constexpr uint64_t kHeaderLength = 32;
constexpr uint64_t kEntryLength = 12;
constexpr uint32_t kFormatWord = 0x04000001;
constexpr uint8_t kTypeZero = 0, kTypeRaw = 1, kTypeFill = 3;

uint32_t get_u32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t get_u64(const uint8_t* p) {
  return static_cast<uint64_t>(get_u32(p)) | static_cast<uint64_t>(get_u32(p + 4)) << 32;
}

HALVEX_PRINTF(2, 3) bool fail(std::string* error, const char* format, ...) {
  char text[160];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  *error = std::string("hximg: ") + text;
  return false;
}

using ull = unsigned long long;

struct Header {
  uint64_t length = 0;
  uint32_t count = 0;
  uint64_t data_offset = 0;
};

bool check_header(const uint8_t* data, size_t size, uint64_t max_length, Header* h,
                  std::string* error) {
  if (size < kHeaderLength) return fail(error, "%zu bytes, shorter than the 32-byte header", size);
  if (std::memcmp(data, "HXIM", 4) != 0) return fail(error, "bad magic");
  if (uint32_t word = get_u32(data + 4); word != kFormatWord)
    return fail(error, "format word 0x%08x, expected 0x04000001", word);
  h->length = get_u64(data + 8);
  if (h->length > max_length)
    return fail(error, "uncompressed length %llu over the limit of %llu", ull(h->length),
                ull(max_length));
  h->count = get_u32(data + 16);
  const uint64_t want_count = h->length / kBlockSize + (h->length % kBlockSize != 0);
  if (h->count != want_count)
    return fail(error, "block count %u, length %llu needs %llu", h->count, ull(h->length),
                ull(want_count));
  if (uint32_t table = get_u32(data + 20); table != kHeaderLength)
    return fail(error, "table offset %u, expected 32", table);
  h->data_offset = kHeaderLength + kEntryLength * h->count;
  if (uint32_t offset = get_u32(data + 24); offset != h->data_offset)
    return fail(error, "data offset %u, expected %llu", offset, ull(h->data_offset));
  if (get_u32(data + 28) != 0) return fail(error, "reserved header word not zero");
  if (size < h->data_offset)
    return fail(error, "%zu bytes, the block table ends at %llu", size, ull(h->data_offset));
  return true;
}

// Checks entry i against its block length and the running offset *r, which
// it advances by the stored length.
bool check_entry(const uint8_t* e, uint32_t i, uint64_t len, uint64_t* r, std::string* error) {
  const uint8_t type = e[0];
  const uint32_t offset = get_u32(e + 4), stored = get_u32(e + 8);
  if (e[1] != 0 || e[2] != 0 || e[3] != 0) return fail(error, "block %u: padding not zero", i);
  if (type == kTypeZero) {
    if (offset != 0 || stored != 0)
      return fail(error, "block %u: zero block with offset %u, length %u", i, offset, stored);
    return true;
  }
  if (type != kTypeRaw && type != kTypeFill) {
    return fail(error, "block %u: unknown type %u", i, type);
  }
  const uint64_t want = type == kTypeRaw ? len : 1;
  if (stored != want)
    return fail(error, "block %u: type %u stores %u bytes, expected %llu", i, type, stored,
                ull(want));
  if (offset != *r) return fail(error, "block %u: offset %u, expected %llu", i, offset, ull(*r));
  *r += stored;
  return true;
}

uint64_t block_length(uint64_t length, uint64_t i) {
  const uint64_t rest = length - i * kBlockSize;
  return rest < kBlockSize ? rest : kBlockSize;
}

// Walks the table: each entry must fit its block, start where the previous
// stored bytes ended and stay inside the data area, which it must fill
// exactly.
bool check_table(const uint8_t* data, size_t size, const Header& h, std::string* error) {
  const uint8_t* area = data + h.data_offset;
  const uint64_t area_size = size - h.data_offset;
  uint64_t r = 0;
  for (uint32_t i = 0; i < h.count; i++) {
    const uint8_t* e = data + kHeaderLength + kEntryLength * i;
    const uint64_t start = r;
    if (!check_entry(e, i, block_length(h.length, i), &r, error)) return false;
    if (r > area_size)
      return fail(error, "block %u: stored bytes end at %llu, data area holds %llu", i, ull(r),
                  ull(area_size));
    if (r > UINT32_MAX) return fail(error, "block %u: data area reaches 4 GiB", i);
    if (e[0] == kTypeFill && area[start] == 0) return fail(error, "block %u: fill byte is zero", i);
  }
  if (r != area_size)
    return fail(error, "data area is %llu bytes longer than its blocks", ull(area_size - r));
  return true;
}

}  // namespace

std::optional<uint64_t> hximg_check(const uint8_t* data, size_t size, uint64_t max_length,
                                    std::string* error) {
  Header h;
  if (!check_header(data, size, max_length, &h, error)) return std::nullopt;
  if (!check_table(data, size, h, error)) return std::nullopt;
  return h.length;
}

std::optional<std::vector<uint8_t>> hximg_decode(const uint8_t* data, size_t size,
                                                 uint64_t max_length, std::string* error) {
  std::optional<uint64_t> length = hximg_check(data, size, max_length, error);
  if (!length) return std::nullopt;
  const uint32_t count = get_u32(data + 16);
  const uint8_t* area = data + kHeaderLength + kEntryLength * count;
  std::vector<uint8_t> out(*length);  // zero blocks need no writing
  for (uint32_t i = 0; i < count; i++) {
    const uint8_t* e = data + kHeaderLength + kEntryLength * i;
    const uint64_t len = block_length(*length, i);
    uint8_t* dst = out.data() + uint64_t{i} * kBlockSize;
    if (e[0] == kTypeRaw) std::memcpy(dst, area + get_u32(e + 4), len);
    if (e[0] == kTypeFill) std::memset(dst, area[get_u32(e + 4)], len);
  }
  return out;
}

namespace {

// Checks every table entry against its block and the data area's length,
// as check_table does, except the fill bytes, which hximg_place checks as
// it reaches them. Unless `exact`, the area may be longer than the blocks.
bool check_entries(const uint8_t* table, const Header& h, uint64_t area_size, std::string* error,
                   bool exact) {
  uint64_t r = 0;
  for (uint32_t i = 0; i < h.count; i++) {
    if (!check_entry(table + kEntryLength * i, i, block_length(h.length, i), &r, error))
      return false;
    if (r > area_size)
      return fail(error, "block %u: stored bytes end at %llu, data area holds %llu", i, ull(r),
                  ull(area_size));
    if (r > UINT32_MAX) return fail(error, "block %u: data area reaches 4 GiB", i);
  }
  if (exact && r != area_size)
    return fail(error, "data area is %llu bytes longer than its blocks", ull(area_size - r));
  return true;
}

// Writes `n` copies of `value` at `offset`.
bool write_fill(HximgOutput& out, uint64_t offset, uint8_t value, uint64_t n,
                std::vector<uint8_t>* scratch, std::string* error) {
  scratch->assign(static_cast<size_t>(std::min<uint64_t>(n, kBlockSize)), value);
  return out.write(offset, scratch->data(), static_cast<size_t>(n), error);
}

}  // namespace

std::optional<HximgLayout> hximg_read_layout(const uint8_t* head, size_t size, uint64_t max_length,
                                             std::string* error, uint64_t whole) {
  Header h;
  if (!check_header(head, size, max_length, &h, error)) return std::nullopt;
  // Without the whole part only the 4 GiB bound of the offsets applies.
  const bool exact = whole >= h.data_offset;
  if (whole != 0 && !exact) {
    fail(error, "%llu bytes, the block table ends at %llu", ull(whole), ull(h.data_offset));
    return std::nullopt;
  }
  if (!check_entries(head + kHeaderLength, h, exact ? whole - h.data_offset : UINT32_MAX, error,
                     exact))
    return std::nullopt;
  HximgLayout layout;
  layout.length = h.length;
  layout.data_offset = h.data_offset;
  layout.table.assign(head + kHeaderLength, head + h.data_offset);
  return layout;
}

bool hximg_place(const HximgLayout& layout, uint64_t offset, const uint8_t* data, size_t size,
                 HximgOutput& out, std::string* error) {
  const uint64_t end = offset + size;
  std::vector<uint8_t> scratch;
  for (uint32_t i = 0; kEntryLength * (i + 1) <= layout.table.size(); i++) {
    const uint8_t* e = layout.table.data() + kEntryLength * i;
    const uint64_t start = layout.data_offset + get_u32(e + 4);
    const uint64_t stored = get_u32(e + 8);
    if (e[0] == kTypeZero || start + stored <= offset) continue;
    if (start >= end) break;  // stored bytes run in block order
    const uint64_t at = uint64_t{i} * kBlockSize;
    if (e[0] == kTypeFill) {
      const uint8_t value = data[start - offset];
      if (value == 0) return fail(error, "block %u: fill byte is zero", i);
      if (!write_fill(out, at, value, block_length(layout.length, i), &scratch, error))
        return false;
      continue;
    }
    const uint64_t lo = std::max(start, offset), hi = std::min(start + stored, end);
    if (!out.write(at + (lo - start), data + (lo - offset), static_cast<size_t>(hi - lo), error))
      return false;
  }
  return true;
}

bool hximg_zero_blocks(const HximgLayout& layout, HximgOutput& out, std::string* error) {
  for (uint32_t i = 0; kEntryLength * (i + 1) <= layout.table.size(); i++) {
    if (layout.table[kEntryLength * i] == kTypeZero &&
        !out.zero(uint64_t{i} * kBlockSize, block_length(layout.length, i), error))
      return false;
  }
  return true;
}

}  // namespace halvex::server
