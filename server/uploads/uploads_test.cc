#include "server/uploads/uploads.h"

#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <tuple>

#include "core/json.h"
#include "server/uploads/upload_test_support.h"
#include "tests/support/temp_dir.h"

namespace halvex::server {
namespace {

using namespace halvex::server::testing;
using halvex::testing::read_file;
using halvex::testing::TempDir;

constexpr const char* kAdmin = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
constexpr const char* kMachine = "machine-1";

struct Issued {
  std::string id, token;
};

// A reply as "status error", the error as its JSON body gives it.
std::string refusal(const HttpResponse& r) {
  return std::to_string(r.status) + " " + json_get_string(json_parse(r.body).get(), "error");
}

class UploadsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    open();
  }

  void open() {
    std::string error;
    store_ = Store::open(dir_.file("server.db"), &error);
    ASSERT_TRUE(store_) << error;
    hub_ = std::make_unique<Hub>(*store_);
    uploads_ = std::make_unique<Uploads>(*store_, dir_.path());
    app_ = std::make_unique<App>(*hub_, kAdmin, uploads_.get());
  }

  // What a restart of the server keeps: the database and the data folder.
  void restart() {
    app_.reset();
    uploads_.reset();
    hub_.reset();
    store_.reset();
    open();
  }

  HttpResponse request(const std::string& method, const std::string& target,
                       const std::string& body = "", const std::string& type = "",
                       bool admin = false) {
    HttpRequest req;
    req.method = method;
    req.target = target;
    req.content_type = type;
    req.body = body;
    if (admin) req.authorization = std::string("Bearer ") + kAdmin;
    return app_->handle(req);
  }

  Json admin_json(const std::string& method, const std::string& target,
                  const std::string& body = "") {
    HttpResponse r = request(method, target, body, "application/json", true);
    EXPECT_EQ(r.status, 200) << target << ": " << r.body;
    return json_parse(r.body);
  }

  Issued new_image(int part_size_mb, const std::string& source = "file:/srv/disk.img") {
    Json r = admin_json("POST", "/api/images",
                        R"({"machine_id":")" + std::string(kMachine) + R"(","source":")" + source +
                            R"(","part_size_mb":)" + std::to_string(part_size_mb) + "}");
    const cJSON* image = json_get(r.get(), "image");
    return {json_get_string(image, "disk_id"), json_get_string(image, "token")};
  }

  Issued new_scan() {
    Json r = admin_json("POST", "/api/scans", R"({"machine_id":"machine-1","source":"disk:1"})");
    const cJSON* scan = json_get(r.get(), "scan");
    return {json_get_string(scan, "scan_id"), json_get_string(scan, "token")};
  }

  HttpResponse send(const std::string& token, const Chunk& c) {
    return request("POST", "/upload_chunk?token=" + token, chunk_body(c), chunk_type());
  }

  // Sends every chunk of the part but those in `skip`; the last reply.
  HttpResponse send_part(const std::string& token, const std::vector<Chunk>& chunks,
                         std::set<int> skip = {}) {
    HttpResponse last;
    for (const Chunk& c : chunks) {
      if (skip.count(c.index)) continue;
      last = send(token, c);
      if (last.status != 200) break;
    }
    return last;
  }

  // Both wait for the workers first: what they report is the workers' state.
  std::string status(const std::string& token, int part,
                     const std::string& batch = "20250131140509") {
    uploads_->wait_idle();
    HttpResponse r = request("GET", "/upload_chunk_status?token=" + token + "&batch_id=" + batch +
                                        "&part_number=" + std::to_string(part));
    EXPECT_EQ(r.status, 200) << r.body;
    return json_print(json_get(json_parse(r.body).get(), "received_chunks"));
  }

  Json image(const std::string& id) {
    uploads_->wait_idle();
    return json_duplicate(json_get(admin_json("GET", "/api/images/" + id).get(), "image"));
  }

  // The image is complete, and its file and hash are those of `bytes`.
  void expect_complete(const std::string& id, const std::string& bytes) {
    Json info = image(id);
    EXPECT_EQ(json_get_string(info.get(), "status"), "complete");
    EXPECT_EQ(json_get_string(info.get(), "sha256"), sha256_hex(bytes));
    EXPECT_TRUE(read_file(json_get_string(info.get(), "path")) == bytes) << "the image's bytes";
  }

  HttpResponse send_scan(const std::string& token, const std::string& body) {
    return request("POST", "/api/remote/scanned_chunk?token=" + token, body, scan_type());
  }

  TempDir dir_;
  std::unique_ptr<Store> store_;
  std::unique_ptr<Hub> hub_;
  std::unique_ptr<Uploads> uploads_;
  std::unique_ptr<App> app_;
};

TEST_F(UploadsTest, UnknownTokensAre401) {
  Issued img = new_image(4);
  Issued scan = new_scan();
  Chunk c;
  c.bytes = "x";
  struct Case {
    std::string method, target, body, type;
    int status;
  } cases[] = {
      {"POST", "/upload_chunk", chunk_body(c), chunk_type(), 401},
      {"POST", "/upload_chunk?token=", chunk_body(c), chunk_type(), 401},
      {"POST", "/upload_chunk?token=nope", chunk_body(c), chunk_type(), 401},
      {"POST", "/upload_chunk?token=" + img.token + "x", chunk_body(c), chunk_type(), 401},
      {"GET", "/upload_chunk_status?batch_id=1&part_number=1", "", "", 401},
      {"POST", "/api/remote/scanned_chunk?token=" + img.token.substr(1), "", "", 401},
      {"POST", "/api/remote/video_thumbnail?token=%ZZ", "", "", 401},
      // A token opens its own kind of upload only.
      {"POST", "/upload_chunk?token=" + scan.token, chunk_body(c), chunk_type(), 403},
      {"POST", "/api/remote/scanned_chunk?token=" + img.token, "", "", 403},
  };
  for (const Case& k : cases) {
    HttpResponse r = request(k.method, k.target, k.body, k.type);
    EXPECT_EQ(r.status, k.status) << k.target;
    EXPECT_EQ(r.content_type, "application/json");
    EXPECT_FALSE(json_get_string(json_parse(r.body).get(), "error").empty()) << r.body;
  }
  EXPECT_EQ(json_get_number(image(img.id).get(), "bodies"), 0);
}

TEST_F(UploadsTest, ChunkStatusAfterPartialUpload) {
  Issued img = new_image(10);
  std::string part = pattern(10 * kMiB, 1);
  std::vector<Chunk> chunks = part_chunks(part, 1, 1);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(status(img.token, 1), "[]");
  HttpResponse r = send_part(img.token, chunks, {1});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(json_get_string(json_parse(r.body).get(), "disk_id"), img.id);
  EXPECT_EQ(status(img.token, 1), "[0,2]");
  // Another run holds none of them: it may have read other bytes.
  EXPECT_EQ(status(img.token, 1, "20250201090000"), "[]");
  EXPECT_EQ(status(img.token, 2), "[]");

  r = send(img.token, chunks[1]);
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(status(img.token, 1), "[0,1,2]");
  EXPECT_EQ(json_get_number(image(img.id).get(), "bodies"), 3);
  expect_complete(img.id, part);
  // Later replies say what the workers did with the part.
  Json reply = json_parse(send(img.token, chunks[1]).body);
  EXPECT_TRUE(json_get_bool(reply.get(), "part_complete"));
  EXPECT_TRUE(json_get_bool(reply.get(), "image_complete"));
  // A finished part counts as held for every run.
  EXPECT_EQ(status(img.token, 1, "20250201090000"), "[0,1,2]");
  // Chunks are not kept once their part is assembled.
  for (const char* name : {"/part000001.data", "/part000001.chunks", "/part000001.img"})
    EXPECT_FALSE(std::filesystem::exists(dir_.file("images/" + img.id + name))) << name;
}

// Raw and hximg parts of one image, sent out of order; the image is the
// parts in order.
TEST_F(UploadsTest, RawAndHximgPartsMakeTheImage) {
  Issued img = new_image(6);
  std::string source = pattern(6 * kMiB, 2);  // raw
  source +=
      std::string(2 * kMiB, '\0') + pattern(3 * kMiB, 3) + std::string(kMiB, '\x5A');  // hximg
  source += pattern(100, 4) + std::string(kMiB, '\0');  // hximg, short last part
  std::string p1 = source.substr(0, 6 * kMiB), p2 = source.substr(6 * kMiB, 6 * kMiB),
              p3 = source.substr(12 * kMiB);
  ASSERT_EQ(send_part(img.token, part_chunks(hximg(p3), 3, 3, "hximg", p3.size())).status, 200);
  ASSERT_EQ(send_part(img.token, part_chunks(p1, 1, 3)).status, 200);
  EXPECT_EQ(json_get_string(image(img.id).get(), "status"), "receiving");
  std::vector<Chunk> c2 = part_chunks(hximg(p2), 2, 3, "hximg", p2.size());
  ASSERT_EQ(c2.size(), 1u);  // 2 MiB of zeros and 1 MiB of fill compress
  HttpResponse last = send_part(img.token, c2);
  ASSERT_EQ(last.status, 200) << last.body;

  EXPECT_EQ(json_get_number(image(img.id).get(), "bytes"), static_cast<double>(source.size()));
  expect_complete(img.id, source);
  EXPECT_TRUE(json_get_bool(json_parse(send_part(img.token, c2).body).get(), "image_complete"));
}

// An hximg part's chunks in any order, with a server restart before the
// last. Those that come after the first chunk (header and table) go
// straight into the image, so the part file holds the first chunk alone;
// those before it wait there. A zero fill byte in a chunk that came after
// the first still refuses the part.
TEST_F(UploadsTest, HximgChunksInAnyOrderMakeThePart) {
  // Raw blocks 0-8, zero block 9, fill block 10, a short raw block 11.
  const std::string raw =
      pattern(9 * kMiB, 6) + std::string(kMiB, '\0') + std::string(kMiB, '\x33') + pattern(100, 7);
  const std::string encoded = hximg(raw);
  const struct {
    std::vector<int> order;
    uint64_t part_file_before_last;
  } cases[] = {{{0, 1, 2}, 4 * kMiB}, {{2, 1, 0}, encoded.size()}, {{1, 0, 2}, 8 * kMiB}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.order[0] * 100 + k.order[1] * 10 + k.order[2]);
    Issued img = new_image(16);
    std::vector<Chunk> chunks = part_chunks(encoded, 1, 1, "hximg", raw.size());
    ASSERT_EQ(chunks.size(), 3u);
    ASSERT_EQ(send(img.token, chunks[k.order[0]]).status, 200);
    ASSERT_EQ(send(img.token, chunks[k.order[1]]).status, 200);
    EXPECT_EQ(std::filesystem::file_size(dir_.file("images/" + img.id + "/part000001.data")),
              k.part_file_before_last);
    restart();
    ASSERT_EQ(send(img.token, chunks[k.order[2]]).status, 200);
    expect_complete(img.id, raw);
  }

  std::string broken = encoded;
  broken[32 + 12 * 12 + 9 * kMiB] = '\0';  // block 10's fill byte, in chunk 2
  Issued img = new_image(16);
  std::vector<Chunk> chunks = part_chunks(broken, 1, 1, "hximg", raw.size());
  ASSERT_EQ(send_part(img.token, {chunks[0], chunks[2]}).status, 200);
  EXPECT_EQ(refusal(send(img.token, chunks[1])), "422 hximg: block 10: fill byte is zero");
}

// Zero blocks of an hximg part are holes in the image, also where a run
// before sent the part raw with other bytes and stopped half way.
TEST_F(UploadsTest, ZeroBlocksBecomeHolesOverWhatAnotherRunWrote) {
  Issued img = new_image(8);
  const std::string zeros(16 * kMiB, '\0');
  std::vector<Chunk> raw = part_chunks(pattern(8 * kMiB, 9), 1, 2);
  ASSERT_EQ(send(img.token, raw[0]).status, 200);
  for (int part : {1, 2}) {
    std::vector<Chunk> chunks =
        part_chunks(hximg(zeros.substr(0, 8 * kMiB)), part, 2, "hximg", 8 * kMiB);
    for (Chunk& c : chunks) c.batch = "20250201090000";
    ASSERT_EQ(send_part(img.token, chunks).status, 200);
  }
  Json info = image(img.id);
  ASSERT_EQ(json_get_string(info.get(), "status"), "complete");
  const std::string path = json_get_string(info.get(), "path");
  EXPECT_TRUE(read_file(path) == zeros);
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, zeros.size() / 100)
      << "the image is not sparse";
}

TEST_F(UploadsTest, CorruptHximgPartIsRefusedAndNothingStored) {
  const std::string raw = pattern(kMiB, 5) + std::string(kMiB, '\x11');
  const std::string good = hximg(raw);
  struct Case {
    const char* what;
    std::string bytes;
    uint64_t original_size;
    const char* error;
  } cases[] = {
      {"bad magic", "HXIN" + good.substr(4), raw.size(), "hximg: bad magic"},
      {"cut short", good.substr(0, good.size() - 1), raw.size(),
       "hximg: block 1: stored bytes end at 1048577, data area holds 1048576"},
      {"fill byte zero", good.substr(0, good.size() - 1) + std::string(1, '\0'), raw.size(),
       "hximg: block 1: fill byte is zero"},  // found by the decoder
      {"length over the part size", hximg(raw + raw + "x"), raw.size(),
       "hximg: uncompressed length 4194305 over the limit of 4194304"},
      {"original_size differs", good, raw.size() - 1,
       "part 1: decodes to 2097152 bytes, original_size says 2097151"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    Issued img = new_image(4);
    std::vector<Chunk> chunks = part_chunks(k.bytes, 1, 1, "hximg", k.original_size);
    EXPECT_EQ(refusal(send_part(img.token, chunks)), std::string("422 ") + k.error);
    EXPECT_EQ(status(img.token, 1), "[]");
    EXPECT_EQ(json_get_string(image(img.id).get(), "error"), std::string("part 1: ") + k.error);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("images/" + img.id + "/part000001.img")));
    EXPECT_FALSE(std::filesystem::exists(dir_.file("images/" + img.id + "/part000001.data")));
    // The same batch retrying the chunk is refused too, so its job fails
    // instead of taking the part for sent.
    EXPECT_EQ(refusal(send(img.token, chunks.back())),
              std::string("422 part 1 was rejected: ") + k.error);
    // A new job sends the part again and it is taken.
    for (Chunk& c : chunks) {
      c.batch = "20250201090000";
      c.bytes = good;
      c.original_size = raw.size();
    }
    HttpResponse r = send_part(img.token, chunks);
    EXPECT_EQ(r.status, 200) << r.body;
    expect_complete(img.id, raw);
  }
}

// The hash progress cannot be saved (a folder in the way of its rename):
// the image says why and is not "finishing", so `image` stops waiting;
// once the folder is gone, the agent's resume hashes it and it completes.
TEST_F(UploadsTest, HashingThatFailsIsReportedAndRetriedOnResume) {
  const std::string raw = pattern(kMiB, 12);
  for (const std::string compressed : {"", "hximg"}) {
    SCOPED_TRACE("compressed: " + compressed);
    Issued img = new_image(1);
    const std::string blocker = dir_.file("images/" + img.id + "/image.sha256");
    std::filesystem::create_directories(blocker + "/in-the-way");
    std::vector<Chunk> chunks =
        part_chunks(compressed.empty() ? raw : hximg(raw), 1, 1, compressed, raw.size());
    ASSERT_EQ(send_part(img.token, chunks).status, 200);
    Json info = image(img.id);
    EXPECT_EQ(json_get_string(info.get(), "status"), "receiving");
    EXPECT_FALSE(json_get_bool(info.get(), "finishing"));
    EXPECT_NE(json_get_string(info.get(), "error").find("part 1: hashing failed: "),
              std::string::npos)
        << json_get_string(info.get(), "error");

    std::filesystem::remove_all(blocker);
    EXPECT_EQ(status(img.token, 1, "20250201090000"), "[0]");  // the resumed job asks
    expect_complete(img.id, raw);
    EXPECT_EQ(json_get_string(image(img.id).get(), "error"), "");
  }
}

// The server is restarted between two jobs of one image; the second job
// (a new batch, the same token, the image's id) skips the finished part and
// sends the unfinished one again whole.
TEST_F(UploadsTest, ResumedJobAfterRestartCompletesTheImage) {
  Issued img = new_image(8);
  std::string source = pattern(8 * kMiB, 6) + pattern(5 * kMiB, 7);
  std::vector<Chunk> part1 = part_chunks(source.substr(0, 8 * kMiB), 1, 2);
  std::vector<Chunk> part2 = part_chunks(source.substr(8 * kMiB), 2, 2);
  ASSERT_EQ(send_part(img.token, part1).status, 200);
  ASSERT_EQ(send(img.token, part2[0]).status, 200);

  restart();
  EXPECT_EQ(status(img.token, 1, "20250201090000"), "[0,1]");
  EXPECT_EQ(status(img.token, 2, "20250201090000"), "[]");
  EXPECT_EQ(status(img.token, 2), "[0]");  // the first run's own
  for (Chunk& c : part2) {
    c.batch = "20250201090000";
    c.existing_disk_id = img.id;
  }
  HttpResponse r = send_part(img.token, part2);
  ASSERT_EQ(r.status, 200) << r.body;
  expect_complete(img.id, source);
  EXPECT_EQ(json_get_number(image(img.id).get(), "bodies"), 5);
  // A job naming another image is refused.
  part2[1].existing_disk_id = "999";
  EXPECT_EQ(send(img.token, part2[1]).status, 409);
}

// A server from before kept each finished part in a file of its own; after
// an upgrade the image is still finished from them.
TEST_F(UploadsTest, PartsAssembledByAnEarlierServerAreTakenIn) {
  Issued img = new_image(4);
  const std::string source = pattern(4 * kMiB, 10) + pattern(kMiB + 3, 11);
  ASSERT_EQ(send_part(img.token, part_chunks(source.substr(0, 4 * kMiB), 1, 2)).status, 200);
  const std::string folder = dir_.file("images/" + img.id);
  uploads_->wait_idle();
  std::filesystem::remove(folder + "/image.img");
  std::filesystem::remove(folder + "/image.sha256");  // kept by this server only
  std::ofstream(folder + "/part000001.img", std::ios::binary) << source.substr(0, 4 * kMiB);

  restart();
  ASSERT_EQ(send_part(img.token, part_chunks(source.substr(4 * kMiB), 2, 2)).status, 200);
  expect_complete(img.id, source);
  EXPECT_FALSE(std::filesystem::exists(folder + "/part000001.img"));
}

TEST_F(UploadsTest, ChunkFieldsAreChecked) {
  Issued img = new_image(5);
  auto good = [] {
    Chunk c;
    c.total_chunks = 2;
    c.bytes = std::string(4 * kMiB, 'a');
    return c;
  };
  struct Case {
    const char* what;
    void (*edit)(Chunk&);
    int status;
    const char* error;
  } cases[] = {
      {"index past the end", [](Chunk& c) { c.index = 2; }, 400,
       "chunk_index: not below total_chunks"},
      {"part past total", [](Chunk& c) { c.part = 2; }, 400,
       "part_number: not between 1 and total_parts"},
      {"short middle chunk", [](Chunk& c) { c.bytes.pop_back(); }, 400,
       "chunk: 4194303 bytes do not fit its index"},
      {"too many chunks for the part size", [](Chunk& c) { c.total_chunks = 3; }, 400,
       "total_chunks: 3 does not fit the part size"},
      {"bad batch id", [](Chunk& c) { c.batch = "a b"; }, 400, "batch_id: malformed"},
      {"unknown format", [](Chunk& c) { c.compressed = "zip"; }, 422,
       "compressed: unknown format zip"},
      {"original size over the part",
       [](Chunk& c) {
         c.compressed = "hximg";
         c.original_size = 5 * kMiB + 1;
       },
       422, "original_size: missing, malformed or over the part size"},
      {"other image", [](Chunk& c) { c.existing_disk_id = "77"; }, 409,
       "existing_disk_id 77: not the image of this token"},
  };
  for (const Case& k : cases) {
    Chunk chunk = good();
    k.edit(chunk);
    EXPECT_EQ(refusal(send(img.token, chunk)), std::to_string(k.status) + " " + k.error) << k.what;
  }
  // Fields the form itself gets wrong.
  std::string body = chunk_body(good());
  for (auto [b, type, error] : std::vector<std::tuple<std::string, std::string, std::string>>{
           {body, "application/octet-stream", "Content-Type: not multipart/form-data"},
           {body.substr(0, body.size() - 10), chunk_type(),
            "multipart: body ends before the closing boundary"},
           {text_field(kChunkBoundary, "batch_id", "1") + body, chunk_type(),
            "batch_id: given twice"},
           {body.substr(body.find("\r\n--") + 2), chunk_type(), "batch_id: missing"},
       }) {
    EXPECT_EQ(refusal(request("POST", "/upload_chunk?token=" + img.token, b, type)),
              "400 " + error);
  }
  EXPECT_EQ(status(img.token, 1), "[]");
  // A later job announcing other totals than the image has is refused.
  ASSERT_EQ(send(img.token, good()).status, 200);
  Chunk other = good();
  other.total_parts = 2;
  EXPECT_EQ(send(img.token, other).status, 409);
}

// Parts that do not fill the part size before the last leave a gap in the
// image: it is reported as failed, not as complete.
TEST_F(UploadsTest, ShortPartBeforeTheLastFailsTheImage) {
  Issued img = new_image(1);
  ASSERT_EQ(send_part(img.token, part_chunks(pattern(kMiB - 1, 8), 1, 2)).status, 200);
  ASSERT_EQ(send_part(img.token, part_chunks(pattern(10, 9), 2, 2)).status, 200);
  Json info = image(img.id);
  EXPECT_EQ(json_get_string(info.get(), "status"), "failed");
  EXPECT_EQ(json_get_string(info.get(), "error"),
            "part 1 holds 1048575 bytes; every part but the last holds 1048576");
}

TEST_F(UploadsTest, AdminApiForImages) {
  Issued a = new_image(4, "disk:0");
  Issued b = new_image(4, "file:/x");
  Issued c = new_image(4, "disk:0");
  Json list = admin_json("GET", "/api/images?machine_id=machine-1&source=disk%3A0");
  const cJSON* images = json_get(list.get(), "images");
  ASSERT_EQ(json_array_size(images), 2);
  EXPECT_EQ(json_get_string(json_array_item(images, 0), "disk_id"), c.id);  // newest first
  EXPECT_EQ(json_get_string(json_array_item(images, 1), "token"), a.token);
  EXPECT_NE(a.token, c.token);
  EXPECT_EQ(a.token.size(), 64u);
  for (auto [body, error] : std::vector<std::pair<std::string, std::string>>{
           {R"({"source":"disk:0"})", "machine_id: missing or malformed"},
           {R"({"machine_id":"m","source":""})", "source: missing or too long"},
           {R"({"machine_id":"m","source":"s","part_size_mb":0})",
            "part_size_mb: not a whole number from 1 to 4095"},
           {R"({"machine_id":"m","source":"s","part_size_mb":1.5})",
            "part_size_mb: not a whole number from 1 to 4095"},
       }) {
    EXPECT_EQ(refusal(request("POST", "/api/images", body, "application/json", true)),
              "400 " + error);
  }
  EXPECT_EQ(request("GET", "/api/images/999", "", "", true).status, 404);
  EXPECT_EQ(request("GET", "/api/images/" + b.id).status, 401);  // the admin token is needed
}

using ScanUploadsTest = UploadsTest;

TEST_F(ScanUploadsTest, StoresHitsRegionsAndTree) {
  Issued scan = new_scan();
  const std::string results =
      R"({"ftyp_list":[4096],"moov_dict":{"8192":1000},"image_sigs":[[5000,"JPEG"],[6000,"JPEG"],[7000,"XML"]]})";
  const std::string index =
      R"([{"start":8192,"end":9192,"size":1000},{"start":4096,"end":4106,"size":10}])";
  const std::string regions = pattern(1010, 10);
  HttpResponse r =
      send_scan(scan.token, scan_body(scan.id, 4096, 1 << 20, results, index, regions));
  ASSERT_EQ(r.status, 200) << r.body;
  // The same chunk sent again replaces its copy; an empty chunk is stored.
  ASSERT_EQ(
      send_scan(scan.token, scan_body(scan.id, 4096, 1 << 20, results, index, regions)).status,
      200);
  std::string empty = R"({"ftyp_list":[],"moov_dict":{},"image_sigs":[]})";
  ASSERT_EQ(send_scan(scan.token, scan_body(scan.id, 4096 + (1 << 20), 0, empty, "[]", "")).status,
            200);

  Json tree = json_parse(
      R"({"scan_id":")" + scan.id +
      R"(","directory_tree":{"fs_type":"fat32","entries":[{"name":"A"},{"name":"B"}]}})");
  uploads_->on_report(kMachine, "directory_tree", tree.get());
  uploads_->on_report("other-machine", "directory_tree", tree.get());  // not its scan: ignored

  Json info = json_duplicate(json_get(admin_json("GET", "/api/scans/1").get(), "scan"));
  EXPECT_EQ(json_get_number(info.get(), "chunks"), 2);
  EXPECT_EQ(json_print(json_get(info.get(), "hits")), R"({"JPEG":2,"XML":1,"ftyp":1,"moov":1})");
  EXPECT_EQ(json_get_number(info.get(), "tree_entries"), 2);
  std::string stored = json_get_string(info.get(), "stored");
  EXPECT_EQ(read_file(stored + "/chunks/00000000000000004096.regions.bin"), regions);
  Json chunk = json_parse(read_file(stored + "/chunks/00000000000000004096.json"));
  EXPECT_EQ(json_print(json_get(chunk.get(), "region_index")), index);
  EXPECT_EQ(
      json_get_string(json_parse(read_file(stored + "/directory_tree.json")).get(), "scan_id"),
      scan.id);
}

// A body the network layer spooled to a file is read from there.
TEST_F(ScanUploadsTest, ReadsASpooledBody) {
  Issued scan = new_scan();
  const std::string regions = pattern(3 * kMiB, 11);
  std::string body =
      scan_body(scan.id, 0, 64 * kMiB, R"({"ftyp_list":[],"moov_dict":{},"image_sigs":[]})",
                R"([{"start":0,"end":3145728,"size":3145728}])", regions);
  std::ofstream(dir_.file("spooled"), std::ios::binary) << body;
  HttpRequest req;
  req.method = "POST";
  req.target = "/api/remote/scanned_chunk?token=" + scan.token;
  req.content_type = scan_type();
  req.body_file = dir_.file("spooled");
  HttpResponse r = app_->handle(req);
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(read_file(dir_.file("scans/1/chunks/00000000000000000000.regions.bin")), regions);
}

TEST_F(ScanUploadsTest, RefusesInconsistentResults) {
  Issued scan = new_scan();
  const std::string none = R"({"ftyp_list":[],"moov_dict":{},"image_sigs":[]})";
  struct Case {
    const char* what;
    std::string results, index, regions;
    uint64_t offset = 1000, size = 100;
    const char* error;
  } cases[] = {
      {"sizes do not add up", none, R"([{"start":1000,"end":1010,"size":10}])", "123456789", 1000,
       100, "region_index: sizes add up to 10 bytes, regions.bin holds 9"},
      {"region before the chunk", none, R"([{"start":999,"end":1001,"size":2}])", "ab", 1000, 100,
       "region_index: region 0 [999, 1001) lies outside the chunk [1000, 1100)"},
      {"region past the chunk", none,
       R"([{"start":1000,"end":1010,"size":10},{"start":1090,"end":1101,"size":11}])",
       std::string(21, 'r'), 1000, 100,
       "region_index: region 1 [1090, 1101) lies outside the chunk [1000, 1100)"},
      {"size is not end - start", none, R"([{"start":1000,"end":1010,"size":9}])",
       std::string(9, 'r'), 1000, 100, "region_index: region 0: size is not end - start"},
      {"negative start", none, R"([{"start":-1,"end":1,"size":2}])", "ab", 0, 100,
       "region_index: region 0: start, end and size must be whole numbers"},
      {"not an array", none, R"({"start":1000})", "", 1000, 100, "region_index: not an array"},
      {"index not JSON", none, "[{", "", 1000, 100, "region_index: not JSON"},
      {"hit outside", R"({"ftyp_list":[1100],"moov_dict":{},"image_sigs":[]})", "[]", "", 1000, 100,
       "scan_results: ftyp at 1100 lies outside the chunk [1000, 1100)"},
      {"moov outside", R"({"ftyp_list":[],"moov_dict":{"12":1000},"image_sigs":[]})", "[]", "",
       1000, 100, "scan_results: moov at 12 lies outside the chunk [1000, 1100)"},
      {"bad image hit", R"({"ftyp_list":[],"moov_dict":{},"image_sigs":[[1000]]})", "[]", "", 1000,
       100, "scan_results: image_sigs entry is not [offset, type]"},
      {"list missing", R"({"ftyp_list":[],"moov_dict":{}})", "[]", "", 1000, 100,
       "scan_results: not an object of ftyp_list, moov_dict and image_sigs"},
  };
  for (const Case& k : cases) {
    std::string body = scan_body(scan.id, k.offset, k.size, k.results, k.index, k.regions);
    EXPECT_EQ(refusal(send_scan(scan.token, body)), std::string("422 ") + k.error) << k.what;
  }
  EXPECT_EQ(refusal(send_scan(scan.token, scan_body("scan-99", 0, 0, none, "[]", ""))),
            "422 scan_id scan-99: not the scan of this token");
  std::string cut = scan_body(scan.id, 0, 0, none, "[]", "").substr(0, 200);
  EXPECT_EQ(send_scan(scan.token, cut + closing(kScanBoundary)).status, 400);
  EXPECT_FALSE(std::filesystem::exists(dir_.file("scans/1/chunks")));
}

TEST_F(ScanUploadsTest, StoresThumbnails) {
  Issued scan = new_scan();
  const std::string b = "----ThumbBoundary12345678abcd";
  auto body = [&](const std::string& jpeg) {
    return text_field(b, "scan_id", scan.id) + text_field(b, "video_id", "v7") +
           text_field(b, "video_index", "3") +
           file_field(b, "thumbnail", "thumb.jpg", "image/jpeg") + jpeg + closing(b);
  };
  const std::string jpeg = "\xFF\xD8\xFF\xE0" + pattern(600, 12);
  HttpResponse r = request("POST", "/api/remote/video_thumbnail?token=" + scan.token, body(jpeg),
                           "multipart/form-data; boundary=" + b);
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(read_file(dir_.file("scans/1/thumbnails/0000000003.jpg")), jpeg);
  r = request("POST", "/api/remote/video_thumbnail?token=" + scan.token, body("GIF89a"),
              "multipart/form-data; boundary=" + b);
  EXPECT_EQ(r.status, 422);
  EXPECT_EQ(
      json_get_number(json_get(admin_json("GET", "/api/scans/1").get(), "scan"), "thumbnails"), 1);
}

}  // namespace
}  // namespace halvex::server
