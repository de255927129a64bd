// Parts encoded here and decoded by the server's independent, strict decoder
// come back bit for bit.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/codec.h"
#include "imaging/hximg.h"
#include "server/uploads/hximg_decode.h"

namespace halvex {
namespace {

constexpr uint64_t kMiB = 1048576;

Bytes random_bytes(size_t n, std::mt19937* rng) {
  Bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>((*rng)());
  return out;
}

void expect_round_trip(const Bytes& input, const std::string& name) {
  SCOPED_TRACE(name);
  uint64_t length = 0;
  PartBuffer encoded = hximg_encode(input.data(), input.size(), &length);
  ASSERT_NE(encoded, nullptr);
  std::string error;
  std::optional<Bytes> decoded = server::hximg_decode(encoded.get(), length, input.size(), &error);
  ASSERT_TRUE(decoded.has_value()) << error;
  EXPECT_TRUE(*decoded == input) << "decoded bytes differ";
}

TEST(HximgRoundTripTest, ZeroFillRandomAndOddLengths) {
  std::mt19937 rng(5);
  for (uint64_t length : {uint64_t{0}, uint64_t{1}, uint64_t{2}, uint64_t{255}, uint64_t{257},
                          kMiB - 1, kMiB, kMiB + 1, 3 * kMiB + 1}) {
    const std::string len = std::to_string(length);
    expect_round_trip(Bytes(length, 0x00), "zero " + len);
    expect_round_trip(Bytes(length, 0xC3), "fill " + len);
    expect_round_trip(random_bytes(length, &rng), "random " + len);
  }
}

// Blocks of every kind in random order, ending in a random short tail, and
// raw blocks that differ from uniform in one byte only.
TEST(HximgRoundTripTest, MixedParts) {
  std::mt19937 rng(6);
  for (int round = 0; round < 8; round++) {
    Bytes input;
    const int blocks = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < blocks; i++) {
      Bytes block;
      switch (rng() % 4) {
        case 0:
          block = Bytes(kMiB, 0);
          break;
        case 1:
          block = Bytes(kMiB, static_cast<uint8_t>(1 + rng() % 255));
          break;
        case 2:
          block = random_bytes(kMiB, &rng);
          break;
        default:
          block = Bytes(kMiB, 0);
          block[rng() % kMiB] = 1;
          break;
      }
      input.insert(input.end(), block.begin(), block.end());
    }
    Bytes tail = random_bytes(rng() % 3000, &rng);
    input.insert(input.end(), tail.begin(), tail.end());
    expect_round_trip(input, "round " + std::to_string(round));
  }
}

}  // namespace
}  // namespace halvex
