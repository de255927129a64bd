#include "core/codec.h"

#include <gtest/gtest.h>

#include <random>

#include "core/util.h"

namespace halvex {
namespace {

TEST(HexTest, EncodeAndDecode) {
  const uint8_t bytes[] = {0x00, 0xAB};
  EXPECT_EQ(hex_encode(bytes, 2), "00ab");
  EXPECT_EQ(hex_encode(bytes, 0), "");

  EXPECT_EQ(hex_decode("0aFF"), (Bytes{0x0A, 0xFF}));
  EXPECT_EQ(hex_decode(""), Bytes{});
  for (const char* bad : {"abc", "0g", "g0", " 0a", "0a ", "0x", "-1"}) {
    EXPECT_FALSE(hex_decode(bad).has_value()) << bad;
  }
}

// RFC 4648 section 10 vectors, and the strictness rules of the decoder.
TEST(Base64Test, Rfc4648VectorsAndStrictDecoding) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (auto [plain, coded] : vectors) {
    std::string p = plain;
    EXPECT_EQ(base64_encode(reinterpret_cast<const uint8_t*>(p.data()), p.size()), coded);
    std::optional<Bytes> back = base64_decode(coded);
    ASSERT_TRUE(back.has_value()) << coded;
    EXPECT_EQ(std::string(back->begin(), back->end()), p);
  }
  // Length not a multiple of 4, characters outside the alphabet, '=' not at
  // the end, three '=', URL-safe alphabet.
  for (const char* bad : {"Zg=", "Zm9", "Zm9v\n", "Zm 9", "Z===", "Zg==Zg==", "=Zm9", "Zm=v",
                          "Zm9-", "Zm9_", "===="}) {
    EXPECT_FALSE(base64_decode(bad).has_value()) << bad;
  }
  // A 43-character key (valid characters, wrong length) is refused.
  EXPECT_FALSE(base64_decode(std::string(43, 'A')).has_value());
  EXPECT_EQ(base64_decode(std::string(44, 'A'))->size(), 33u);
}

TEST(Base64Test, RandomRoundTrips) {
  std::mt19937 rng(7);
  for (size_t len = 0; len < 200; len++) {
    Bytes data(len);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    std::string coded = base64_encode(data.data(), data.size());
    EXPECT_EQ(coded.size(), (len + 2) / 3 * 4);
    EXPECT_EQ(base64_decode(coded), data);
  }
}

TEST(FormatSizeTest, UnitsAndRounding) {
  const std::pair<uint64_t, const char*> cases[] = {
      {0, "0 B"},
      {1023, "1023 B"},
      {1024, "1.0 KB"},
      {1536, "1.5 KB"},
      {1048575, "1024.0 KB"},
      {1048576, "1.0 MB"},
      {1ull << 30, "1.0 GB"},
      {1ull << 40, "1.0 TB"},
      {1ull << 50, "1024.0 TB"},
      {~0ull, "16777216.0 TB"},
  };
  for (auto [bytes, text] : cases) EXPECT_EQ(format_size(bytes), text) << bytes;
}

}  // namespace
}  // namespace halvex
