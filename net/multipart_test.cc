// The multipart writer: exact bodies, limits before allocation, boundaries.

#include "net/multipart.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>

namespace halvex {
namespace {

std::string body_text(const MultipartBody& body) {
  return std::string(reinterpret_cast<const char*>(body.data.get()), body.size);
}

TEST(Multipart, BodyIsExactAndSizedOnce) {
  const std::string file("\0\x01\r\n--B", 7);
  MultipartWrite write = [&file](MultipartWriter& w) {
    w.text_field("name", "value");
    w.text_field("empty", "");
    w.field_begin("number");
    w.put_number(18446744073709551615ULL);
    w.field_end();
    w.file_begin("file", "f.bin", "application/octet-stream");
    w.put_bytes(reinterpret_cast<const uint8_t*>(file.data()), file.size());
    w.finish();
  };
  const std::string expect =
      "--B\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\nvalue\r\n"
      "--B\r\nContent-Disposition: form-data; name=\"empty\"\r\n\r\n\r\n"
      "--B\r\nContent-Disposition: form-data; name=\"number\"\r\n\r\n18446744073709551615\r\n"
      "--B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"f.bin\"\r\n"
      "Content-Type: application/octet-stream\r\n\r\n" +
      file + "\r\n--B--\r\n";
  EXPECT_EQ(multipart_size("B", write), expect.size());
  EXPECT_EQ(multipart_text("B", write), expect);
  MultipartBody body;
  std::string error;
  ASSERT_TRUE(multipart_build("B", kMultipartNoLimit, write, &body, &error)) << error;
  EXPECT_EQ(body_text(body), expect);
  EXPECT_EQ(multipart_content_type("B"), "multipart/form-data; boundary=B");
}

TEST(Multipart, LimitsRefuseBeforeAllocating) {
  // Lengths only: a refused body never reads its bytes (null here).
  struct Case {
    std::vector<uint64_t> lengths;
    uint64_t limit;
    std::string error;
  };
  const Case cases[] = {
      {{UINT64_MAX - 1, 2}, kMultipartNoLimit, "Upload body too large: its size overflows 64 bits"},
      {{2147483649}, 2147483648, "Upload body too large: 2147483649 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    MultipartWrite write = [&c](MultipartWriter& w) {
      for (uint64_t n : c.lengths) w.put_bytes(nullptr, n);
    };
    MultipartBody body;
    body.size = 7;
    std::string error;
    EXPECT_FALSE(multipart_build("B", c.limit, write, &body, &error));
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(body.data, nullptr);
    EXPECT_EQ(body.size, 0u);
  }
}

TEST(Multipart, Boundaries) {
  GuidFields guid{0x0123abcd, 0x4567};
  EXPECT_EQ(multipart_boundary_from("----ScanBoundary", &guid), "----ScanBoundary0123abcd4567");
  guid = {0, 0xa};
  EXPECT_EQ(multipart_boundary_from("----ChunkBoundary", &guid), "----ChunkBoundary00000000000a");

  // Fresh GUIDs, and the fallback when the system makes none: every body
  // gets a boundary of its own, in the same form.
  std::set<std::string> seen;
  for (int i = 0; i < 100; i++) {
    for (const std::string& b : {multipart_boundary("----ThumbBoundary"),
                                 multipart_boundary_from("----ThumbBoundary", nullptr)}) {
      EXPECT_TRUE(std::regex_match(b, std::regex("----ThumbBoundary[0-9a-f]{12}"))) << b;
      EXPECT_TRUE(seen.insert(b).second) << b;
    }
  }
}

}  // namespace
}  // namespace halvex
