// The server's hximg decoder on arbitrary bytes: it never reads out of
// bounds, never allocates beyond its cap, and what it accepts is consistent
// (the declared length comes out, and encoding that output and decoding it
// again gives the same bytes). The input is also encoded by the agent's
// encoder and must come back bit for bit. Inputs that start with 'M' are a
// recipe for parts of several 1 MiB blocks, so that block tables with more
// than one entry and short last blocks are reached.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "imaging/hximg.h"
#include "server/uploads/hximg_decode.h"

using halvex::fuzz::check;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint64_t kMiB = 1048576;
// Room for two full blocks and a short third: every table shape, while each
// run stays fast.
constexpr uint64_t kLimit = 2 * kMiB + 4096;

// 'M', block count byte, one kind byte per block, then the tail bytes. Each
// block is all zero, one fill value, or the tail repeated with one byte
// changed (raw).
Bytes part_from_recipe(const uint8_t* data, size_t size) {
  const size_t blocks = 1 + data[1] % 2;
  if (size < 2 + blocks) return Bytes(data, data + size);
  const uint8_t* tail = data + 2 + blocks;
  const size_t tail_size = size - 2 - blocks;
  Bytes part;
  for (size_t k = 0; k < blocks; k++) {
    const uint8_t kind = data[2 + k];
    const size_t start = part.size();
    part.resize(start + kMiB, kind % 3 == 1 ? static_cast<uint8_t>(kind | 1) : 0);
    if (kind % 3 == 2) {
      for (size_t i = 0; i < kMiB && tail_size > 0; i++) part[start + i] = tail[i % tail_size];
      part[start + kind % kMiB] ^= 0x5A;
    }
  }
  part.insert(part.end(), tail, tail + tail_size);
  return part;
}

std::optional<Bytes> encode(const Bytes& input) {
  uint64_t length = 0;
  halvex::PartBuffer out = halvex::hximg_encode(input.data(), input.size(), &length);
  if (!out) return std::nullopt;
  return Bytes(out.get(), out.get() + length);
}

void check_decoder(const uint8_t* data, size_t size) {
  std::string error;
  std::optional<uint64_t> length = halvex::server::hximg_check(data, size, kLimit, &error);
  std::string decode_error;
  std::optional<Bytes> out = halvex::server::hximg_decode(data, size, kLimit, &decode_error);
  check(length.has_value() == out.has_value(), "check and decode agree");
  if (!out) {
    check(error == decode_error && error.rfind("hximg: ", 0) == 0, "one error text, prefixed");
    return;
  }
  check(out->size() == *length, "the declared length comes out");
  std::optional<Bytes> again = encode(*out);
  check(again.has_value(), "decoded bytes encode");
  // The encoder writes the smallest form: a uniform block it could store
  // short, an accepted input may hold raw.
  check(again->size() <= size, "re-encoding is no longer than the input");
  std::optional<Bytes> back =
      halvex::server::hximg_decode(again->data(), again->size(), kLimit, &error);
  check(back && *back == *out, "re-encoded output decodes to the same bytes");
}

void check_round_trip(const Bytes& input) {
  std::optional<Bytes> encoded = encode(input);
  check(encoded.has_value(), "encoding succeeds");
  std::string error;
  std::optional<Bytes> back =
      halvex::server::hximg_decode(encoded->data(), encoded->size(), input.size(), &error);
  check(back.has_value(), "the decoder accepts what the encoder writes");
  check(*back == input, "round trip gives the input back");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  check_decoder(data, size);
  if (size >= 2 && data[0] == 'M') {
    check_round_trip(part_from_recipe(data, size));
  } else {
    check_round_trip(Bytes(data, data + size));
  }
  return 0;
}
