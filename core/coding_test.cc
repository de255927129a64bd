#include "core/coding.h"

#include <gtest/gtest.h>

namespace halvex {
namespace {

TEST(CodingTest, ByteOrders) {
  const uint8_t b[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
  EXPECT_EQ(get_le16(b), 0x2301u);
  EXPECT_EQ(get_le32(b), 0x67452301u);
  EXPECT_EQ(get_le64(b), 0xefcdab8967452301ULL);
  EXPECT_EQ(get_be16(b + 6), 0xcdefu);
  EXPECT_EQ(get_be32(b + 4), 0x89abcdefu);  // high bit set: no sign spreads

  uint8_t out[8] = {};
  put_le64(out, 0xefcdab8967452301ULL);
  EXPECT_EQ(get_le64(out), 0xefcdab8967452301ULL);
  EXPECT_EQ(out[0], 0x01);
  put_le32(out, 0xfffffffe);
  EXPECT_EQ(get_le32(out), 0xfffffffeu);
  EXPECT_EQ(out[4], 0x89);  // untouched past the width
}

}  // namespace
}  // namespace halvex
