// The server's streaming hximg decoder, which assembles uploaded parts from
// file to file, against its in-memory decoder on the same bytes: both accept
// exactly the same inputs and give the same output; a rejection always says
// why. Inputs that start with 'M' are a recipe for parts of 1 MiB blocks
// (see fuzz_hximg_decode), encoded by hand so that the block table is
// reached with entries of every type.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "server/uploads/hximg_decode.h"

using halvex::fuzz::check;

namespace {

constexpr uint64_t kMiB = 1048576;
constexpr uint64_t kLimit = 2 * kMiB + 4096;

void u32(std::string* s, uint32_t v) {
  for (int i = 0; i < 4; i++) s->push_back(static_cast<char>(v >> (8 * i)));
}

// 'M', then per block: a kind byte (zero, fill, raw) and for fill the value;
// the rest of the input is the raw bytes and the tail. Bytes past the kinds
// may be cut or damaged by the input itself.
std::string recipe(const uint8_t* data, size_t size) {
  const size_t blocks = 1 + (size > 1 ? data[1] % 2 : 0);
  std::string head = "HXIM", table, area;
  const uint64_t length = blocks * kMiB;
  u32(&head, 0x04000001);
  u32(&head, static_cast<uint32_t>(length));
  u32(&head, 0);
  u32(&head, static_cast<uint32_t>(blocks));
  u32(&head, 32);
  u32(&head, static_cast<uint32_t>(32 + 12 * blocks));
  u32(&head, 0);
  for (size_t k = 0; k < blocks; k++) {
    const uint8_t kind = 2 + k < size ? data[2 + k] % 3 : 0;
    const uint8_t type = kind == 0 ? 0 : kind == 1 ? 3 : 1;
    table.push_back(static_cast<char>(type));
    table.append(3, '\0');
    u32(&table, type == 0 ? 0 : static_cast<uint32_t>(area.size()));
    u32(&table, type == 0 ? 0 : type == 3 ? 1 : static_cast<uint32_t>(kMiB));
    if (type == 3) area.push_back(static_cast<char>(kind | 0x40));
    if (type == 1) area.append(kMiB, static_cast<char>(k + 1));
  }
  std::string out = head + table + area;
  // The input's tail overwrites the start of the encoded part, so that
  // damage lands in the header and table.
  for (size_t i = 2 + blocks, j = 0; i < size && j < out.size(); i++, j++)
    out[j] ^= static_cast<char>(data[i]);
  return out;
}

void check_same(const std::string& part) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(part.data());
  std::string memory_error, stream_error;
  std::optional<std::vector<uint8_t>> whole =
      halvex::server::hximg_decode(bytes, part.size(), kLimit, &memory_error);
  std::istringstream in(part);
  std::ostringstream out;
  std::optional<uint64_t> length =
      halvex::server::hximg_decode_stream(in, part.size(), kLimit, out, &stream_error);
  check(whole.has_value() == length.has_value(), "both decoders accept the same parts");
  if (!length) {
    check(stream_error.rfind("hximg: ", 0) == 0, "rejections are prefixed");
    return;
  }
  const std::string streamed = out.str();
  check(streamed.size() == *length && *length == whole->size(), "the declared length comes out");
  check(streamed.compare(0, streamed.size(), reinterpret_cast<const char*>(whole->data()),
                         whole->size()) == 0,
        "both decoders give the same bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size >= 1 && data[0] == 'M') {
    check_same(recipe(data, size));
  } else {
    check_same(std::string(reinterpret_cast<const char*>(data), size));
  }
  return 0;
}
