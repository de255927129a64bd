#include "server/http/multipart.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace halvex::server {
namespace {

constexpr const char* kBoundary = "----ChunkBoundary1a2b3c4d5e6f";
const std::string kType = std::string("multipart/form-data; boundary=") + kBoundary;

std::string field(const std::string& name, const std::string& value) {
  return std::string("--") + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name +
         "\"\r\n\r\n" + value + "\r\n";
}

std::string file_part(const std::string& name, const std::string& filename,
                      const std::string& bytes) {
  return std::string("--") + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name +
         "\"; filename=\"" + filename + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
         bytes;
}

std::string closing() { return std::string("\r\n--") + kBoundary + "--\r\n"; }

// A chunk upload as the agent writes it.
std::string chunk_body(const std::string& bytes) {
  return field("batch_id", "20250131140509") + field("part_number", "2") +
         field("total_parts", "3") + field("chunk_index", "0") + field("total_chunks", "1") +
         field("filename", "Disk_0.part002.hximg") + field("disk_name", "") +
         field("compressed", "hximg") + field("original_size", "1048576") +
         file_part("chunk", "chunk0000", bytes) + closing();
}

std::vector<std::string> names(const std::vector<MultipartPart>& parts) {
  std::vector<std::string> out;
  for (const MultipartPart& p : parts) out.push_back(p.name);
  return out;
}

TEST(MultipartTest, ReadsAChunkUpload) {
  // Data that comes close to the delimiter without being one.
  std::string bytes =
      "\r\n--" + std::string(kBoundary, 5) + "\r\r\n\xff" + std::string(1, '\0') + "end";
  std::string body = chunk_body(bytes);
  std::string error;
  auto parts = multipart_parse(body, kType, &error);
  ASSERT_TRUE(parts) << error;
  EXPECT_EQ(names(*parts),
            (std::vector<std::string>{"batch_id", "part_number", "total_parts", "chunk_index",
                                      "total_chunks", "filename", "disk_name", "compressed",
                                      "original_size", "chunk"}));
  EXPECT_EQ(multipart_bytes(body, (*parts)[0]), "20250131140509");
  EXPECT_EQ(multipart_bytes(body, (*parts)[6]), "");
  const MultipartPart* chunk = multipart_find(*parts, "chunk");
  ASSERT_NE(chunk, nullptr);
  EXPECT_TRUE(chunk->has_filename);
  EXPECT_EQ(chunk->filename, "chunk0000");
  EXPECT_EQ(chunk->content_type, "application/octet-stream");
  EXPECT_EQ(multipart_bytes(body, *chunk), bytes);
  EXPECT_FALSE((*parts)[0].has_filename);
  EXPECT_EQ((*parts)[0].content_type, "");
  EXPECT_EQ(multipart_find(*parts, "missing"), nullptr);
}

// The same parts come out however the body is cut into pieces.
TEST(MultipartTest, PiecesGiveTheSameParts) {
  std::string body = chunk_body("ab\r\n--" + std::string(kBoundary).substr(0, 20) + "\r\n--\r");
  auto whole = multipart_parse(body, kType, nullptr);
  ASSERT_TRUE(whole);
  for (size_t cut = 0; cut <= body.size(); cut++) {
    MultipartParser p(kBoundary);
    ASSERT_TRUE(p.feed(std::string_view(body).substr(0, cut))) << cut << ": " << p.error();
    ASSERT_TRUE(p.feed(std::string_view(body).substr(cut))) << cut << ": " << p.error();
    ASSERT_TRUE(p.finish()) << cut << ": " << p.error();
    ASSERT_EQ(p.parts().size(), whole->size()) << cut;
    for (size_t i = 0; i < whole->size(); i++) {
      EXPECT_EQ(p.parts()[i].offset, (*whole)[i].offset) << cut;
      EXPECT_EQ(p.parts()[i].size, (*whole)[i].size) << cut;
    }
  }
  MultipartParser bytewise(kBoundary);
  for (char c : body) ASSERT_TRUE(bytewise.feed(std::string_view(&c, 1))) << bytewise.error();
  ASSERT_TRUE(bytewise.finish());
  EXPECT_EQ(bytewise.parts().back().size, whole->back().size);
}

TEST(MultipartTest, AcceptsFormVariants) {
  struct Case {
    const char* what;
    std::string type, body;
  } cases[] = {
      {"no CRLF after the closing boundary", kType, field("a", "1") + "--" + kBoundary + "--"},
      {"quoted boundary with a space", "multipart/form-data; boundary=\"a b:c\"",
       "--a b:c\r\nContent-Disposition: form-data; name=x\r\n\r\nv\r\n--a b:c--\r\n"},
      {"type in other case, parameters around", "Multipart/Form-Data ; charset=utf-8;boundary=zz",
       "--zz\r\ncontent-disposition:FORM-DATA;NAME=\"x\"\r\nX-Other: 1\r\n\r\n\r\n--zz--"},
      {"no parts at all", kType, std::string("--") + kBoundary + "--\r\n"},
      {"empty file", kType, file_part("f", "", "") + closing()},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_TRUE(multipart_parse(c.body, c.type, &error)) << c.what << ": " << error;
  }
}

TEST(MultipartTest, RejectsMalformedBodies) {
  const std::string b = kBoundary;
  const std::string cd = "Content-Disposition: form-data; name=\"a\"";
  struct Case {
    const char* what;
    std::string body;
    const char* error;
  } cases[] = {
      {"empty body", "", "multipart: body does not start with the boundary"},
      {"preamble", "hello\r\n" + field("a", "1") + closing(),
       "multipart: body does not start with the boundary"},
      {"other boundary", "--other\r\n" + cd + "\r\n\r\n1" + closing(),
       "multipart: body does not start with the boundary"},
      {"cut in a part body", field("a", "1") + file_part("c", "x", "abc"),
       "multipart: body ends before the closing boundary"},
      {"cut in headers", "--" + b + "\r\nContent-Disp",
       "multipart: body ends before the closing boundary"},
      {"cut in the closing CRLF", field("a", "1") + "--" + b + "--\r",
       "multipart: body ends before the closing boundary"},
      {"junk after a boundary", "--" + b + "x\r\n" + cd + "\r\n\r\n1" + closing(),
       "multipart: boundary followed by neither CRLF nor \"--\""},
      {"epilogue", field("a", "1") + "--" + b + "--\r\nmore",
       "multipart: data after the closing boundary"},
      {"second closing", field("a", "1") + "--" + b + "--\r\n--" + b + "--\r\n",
       "multipart: data after the closing boundary"},
      {"no headers", "--" + b + "\r\n\r\nvalue" + closing(),
       "multipart: part without Content-Disposition"},
      {"only a content type", "--" + b + "\r\nContent-Type: text/plain\r\n\r\nv" + closing(),
       "multipart: part without Content-Disposition"},
      {"attachment", "--" + b + "\r\nContent-Disposition: attachment; name=a\r\n\r\nv" + closing(),
       "multipart: Content-Disposition is not form-data"},
      {"no name", "--" + b + "\r\nContent-Disposition: form-data; filename=x\r\n\r\nv" + closing(),
       "multipart: part without a name"},
      {"empty name",
       "--" + b + "\r\nContent-Disposition: form-data; name=\"\"\r\n\r\nv" + closing(),
       "multipart: part without a name"},
      {"name twice",
       "--" + b + "\r\nContent-Disposition: form-data; name=a; name=b\r\n\r\nv" + closing(),
       "multipart: malformed Content-Disposition"},
      {"filename twice", "--" + b + "\r\n" + cd + "; filename=x; FILENAME=y\r\n\r\nv" + closing(),
       "multipart: malformed Content-Disposition"},
      {"unterminated quote",
       "--" + b + "\r\nContent-Disposition: form-data; name=\"a\r\n\r\nv" + closing(),
       "multipart: malformed Content-Disposition"},
      {"trailing semicolon", "--" + b + "\r\n" + cd + ";\r\n\r\nv" + closing(),
       "multipart: malformed Content-Disposition"},
      {"disposition twice", "--" + b + "\r\n" + cd + "\r\n" + cd + "\r\n\r\nv" + closing(),
       "multipart: Content-Disposition given twice"},
      {"type twice",
       "--" + b + "\r\n" + cd + "\r\nContent-Type: a/b\r\nContent-Type: a/b\r\n\r\nv" + closing(),
       "multipart: Content-Type given twice"},
      {"line without colon", "--" + b + "\r\n" + cd + "\r\nbroken\r\n\r\nv" + closing(),
       "multipart: malformed header line"},
      {"folded line", "--" + b + "\r\n" + cd + "\r\nX-A: 1\r\n 2\r\n\r\nv" + closing(),
       "multipart: malformed header line"},
      {"space before colon",
       "--" + b + "\r\nContent-Disposition : form-data; name=a\r\n\r\nv" + closing(),
       "multipart: malformed header line"},
      {"bare LF in a value", "--" + b + "\r\n" + cd + "\nX: 1\r\n\r\nv" + closing(),
       "multipart: control character in a header"},
      {"NUL in a value", "--" + b + "\r\n" + cd + std::string(1, '\0') + "\r\n\r\nv" + closing(),
       "multipart: control character in a header"},
      {"long headers",
       "--" + b + "\r\n" + cd + "\r\nX: " + std::string(5000, 'a') + "\r\n\r\nv" + closing(),
       "multipart: part headers over 4096 bytes"},
  };
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(multipart_parse(c.body, kType, &error)) << c.what;
    EXPECT_EQ(error, c.error) << c.what;
  }
}

TEST(MultipartTest, LimitsThePartCount) {
  std::string body;
  for (int i = 0; i < 3; i++) body += field("f" + std::to_string(i), "v");
  body += closing();
  std::string error;
  EXPECT_TRUE(multipart_parse(body, kType, &error, MultipartLimits{3, 4096})) << error;
  EXPECT_FALSE(multipart_parse(body, kType, &error, MultipartLimits{2, 4096}));
  EXPECT_EQ(error, "multipart: more than 2 parts");
}

// A failed parser stays failed, whatever follows.
TEST(MultipartTest, FailureIsFinal) {
  MultipartParser p(kBoundary);
  EXPECT_FALSE(p.feed("garbage"));
  EXPECT_FALSE(p.feed(field("a", "1") + closing()));
  EXPECT_FALSE(p.finish());
  EXPECT_EQ(p.error(), "multipart: body does not start with the boundary");
  EXPECT_TRUE(p.parts().empty());
}

TEST(MultipartTest, Boundaries) {
  const std::string seventy(70, 'b');
  struct Case {
    std::string type;
    std::optional<std::string> boundary;  // nullopt: rejected
  } cases[] = {
      {kType, kBoundary},
      {"multipart/form-data; boundary=\"" + seventy + "\"", seventy},
      {"multipart/form-data; boundary=" + seventy + "b", std::nullopt},
      {"multipart/form-data; boundary=\"ends in space \"", std::nullopt},
      {"multipart/form-data; boundary=\"at@sign\"", std::nullopt},
      {"multipart/form-data; boundary=", std::nullopt},
      {"multipart/form-data; boundary=\"\"", std::nullopt},
      {"multipart/form-data", std::nullopt},
      {"multipart/form-data; boundary=a; boundary=b", std::nullopt},
      {"multipart/form-data; boundary=\"unterminated", std::nullopt},
      {"multipart/mixed; boundary=abc", std::nullopt},
      {"multipart/form-dataX; boundary=abc", std::nullopt},
      {"text/plain", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    std::string error;
    std::optional<std::string> got = multipart_boundary(c.type, &error);
    EXPECT_EQ(got, c.boundary) << c.type << ": " << error;
    if (!c.boundary) {
      EXPECT_EQ(error.rfind("Content-Type: ", 0), 0u) << error;
    }
  }
}

}  // namespace
}  // namespace halvex::server
