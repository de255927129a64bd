// The upload endpoints of a real `recovery-server serve` process, driven by
// libcurl the way the agent drives them: one kept-alive TLS connection,
// "Expect: 100-continue" before large bodies, bodies over the cap refused,
// uploads held in memory while the budget lasts (scan uploads spooled to
// disk past it), and an image finished by a resumed job
// after the server was killed and started again.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "core/json.h"
#include "server/uploads/upload_test_client.h"
#include "server/uploads/upload_test_support.h"
#include "tests/integration/server_process.h"
#include "tests/support/eventually.h"
#include "tests/support/temp_dir.h"

namespace halvex::server {
namespace {

using namespace halvex::server::testing;
using halvex::testing::eventually;
using halvex::testing::read_text_file;
using halvex::testing::ServerProcess;
using halvex::testing::TempDir;

class UploadServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.init({}));
    ASSERT_TRUE(server_.start());
    admin_ = read_text_file(server_.data() + "/admin.token");
    while (!admin_.empty() && admin_.back() == '\n') admin_.pop_back();
    client_ = std::make_unique<Client>(server_.port(), server_.ca_file());
  }
  void TearDown() override {
    client_.reset();
    EXPECT_EQ(server_.stop(), 0) << server_.last_output();
  }

  Json admin(const std::string& method, const std::string& target, const std::string& body = "") {
    Reply r = client_->request(method, target, body, "application/json", admin_);
    EXPECT_EQ(r.status, 200) << r.body;
    return json_parse(r.body);
  }

  std::pair<std::string, std::string> new_image(int part_size_mb) {
    Json r = admin("POST", "/api/images",
                   R"({"machine_id":"m1","source":"disk:0","part_size_mb":)" +
                       std::to_string(part_size_mb) + "}");
    const cJSON* image = json_get(r.get(), "image");
    return {json_get_string(image, "disk_id"), json_get_string(image, "token")};
  }

  Reply send(const std::string& token, const Chunk& c) {
    return client_->request("POST", "/upload_chunk?token=" + token, chunk_body(c), chunk_type());
  }

  std::string status(const std::string& token, int part, const std::string& batch) {
    Reply r = client_->request("GET", "/upload_chunk_status?token=" + token + "&batch_id=" + batch +
                                          "&part_number=" + std::to_string(part));
    EXPECT_EQ(r.status, 200) << r.body;
    return json_print(json_get(json_parse(r.body).get(), "received_chunks"));
  }

  // The image's record once the workers are done with it; the image is
  // complete, and its file and hash are those of `bytes`.
  Json finished(const std::string& id, const std::string& bytes) {
    Json r;
    EXPECT_TRUE(eventually([&] {
      r = admin("GET", "/api/images/" + id);
      return json_get_string(json_get(r.get(), "image"), "status") != "receiving";
    }));
    Json image = json_duplicate(json_get(r.get(), "image"));
    EXPECT_EQ(json_get_string(image.get(), "status"), "complete");
    EXPECT_EQ(json_get_string(image.get(), "sha256"), sha256_hex(bytes));
    EXPECT_TRUE(read_text_file(json_get_string(image.get(), "path")) == bytes)
        << "the image's bytes";
    return image;
  }

  TempDir dir_;
  ServerProcess server_{dir_.path()};
  std::string admin_;
  std::unique_ptr<Client> client_;
};

// Chunks are read into memory while the server's budget for bodies lasts,
// and through the HTTP parser past it: with a budget of 1 MiB the 4 MiB
// chunks take the parser and the last, small one the memory.
TEST_F(UploadServerTest, OneConnectionCarriesTheWholeUpload) {
  for (bool small_budget : {false, true}) {
    SCOPED_TRACE(small_budget);
    if (small_budget) {
      client_.reset();
      ASSERT_EQ(server_.stop(), 0);
      ASSERT_TRUE(server_.start("127.0.0.1:0", {"--body-memory-mb", "1"}));
      client_ = std::make_unique<Client>(server_.port(), server_.ca_file());
    }
    auto [id, token] = new_image(12);
    std::string part = pattern(8 * kMiB + kMiB / 2, small_budget ? 2 : 1);
    std::vector<Chunk> chunks = part_chunks(part, 1, 1);
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(status(token, 1, chunks[0].batch), "[]");
    for (const Chunk& c : chunks) {
      Reply r = send(token, c);
      ASSERT_EQ(r.status, 200) << r.body;
      EXPECT_TRUE(r.continued) << "chunk " << c.index;
      EXPECT_EQ(r.new_connections, 0) << "chunk " << c.index << " needed a new connection";
      EXPECT_EQ(json_get_string(json_parse(r.body).get(), "disk_id"), id);
    }
    EXPECT_EQ(status(token, 1, chunks[0].batch), "[0,1,2]");
    EXPECT_EQ(json_get_number(finished(id, part).get(), "bodies"), 3);
  }
}

TEST_F(UploadServerTest, BodiesOverTheCapAreRefused) {
  auto [id, token] = new_image(12);
  Chunk big;
  big.total_chunks = 3;
  big.bytes = std::string(4 * kMiB + 64 * 1024, 'x');  // with the form around it, over the cap
  Reply r = send(token, big);
  EXPECT_EQ(r.status, 413);
  EXPECT_EQ(json_get_string(json_parse(r.body).get(), "error"), "request body too large");
  EXPECT_FALSE(r.continued);  // refused before the body was sent
  // Everything but the uploads keeps the small limit.
  r = client_->request("POST", "/api/send", std::string(1024 * 1024 + 1, ' '), "application/json",
                       admin_);
  EXPECT_EQ(r.status, 413);
  // And the server carries on, on a new connection.
  Chunk fits = big;
  fits.bytes.resize(4 * kMiB);
  r = send(token, fits);
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.new_connections, 1);
}

// Scan bodies are read into memory while the server's budget for bodies
// lasts (8 MiB here), else spooled; a body without a declared length is
// always spooled. Each large body takes more than half of the budget, so one
// whose bytes were not given back (after its answer, or after its client
// went away mid-body) would push the next to the spool.
TEST_F(UploadServerTest, ScanUploadsHeldInMemoryWhileTheBudgetLasts) {
  Json r = admin("POST", "/api/scans", R"({"machine_id":"m1","source":"disk:1"})");
  std::string scan_id = json_get_string(json_get(r.get(), "scan"), "scan_id");
  std::string target =
      "/api/remote/scanned_chunk?token=" + json_get_string(json_get(r.get(), "scan"), "token");
  const std::string spool = server_.data() + "/spool";
  ASSERT_EQ(server_.stop(), 0);
  ASSERT_TRUE(server_.start("127.0.0.1:0", {"--body-memory-mb", "8"}));
  client_ = std::make_unique<Client>(server_.port(), server_.ca_file());
  const uint64_t kChunk = 64 * kMiB;
  const std::string large = pattern(5 * kMiB, 2), small = pattern(kMiB, 3);
  auto body = [&](uint64_t offset, const std::string& regions) {
    std::string at = std::to_string(offset), size = std::to_string(regions.size());
    std::string end = std::to_string(offset + regions.size());
    return scan_body(scan_id, offset, kChunk,
                     R"({"ftyp_list":[],"moov_dict":{},"image_sigs":[[)" + at + R"(,"JPEG"]]})",
                     R"([{"start":)" + at + R"(,"end":)" + end + R"(,"size":)" + size + "}]",
                     regions);
  };
  // Posts; true when the answer is 200 and the body was not spooled.
  auto post = [&](Client& client, uint64_t offset, const std::string& regions, bool chunked) {
    bool spooled = false;
    Reply reply = client.post_streamed(target, body(offset, regions), scan_type(), chunked,
                                       [&] { spooled = !std::filesystem::is_empty(spool); });
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.status == 200 && !spooled;
  };
  auto stored = [&](uint64_t offset) {
    char name[64];
    std::snprintf(name, sizeof name, "/scans/1/chunks/%020llu.regions.bin",
                  static_cast<unsigned long long>(offset));
    return read_text_file(server_.data() + name);
  };

  // Two connections in turn: the first, now idle, must not keep its bytes.
  Client other(server_.port(), server_.ca_file());
  EXPECT_TRUE(post(*client_, 0, large, false));
  EXPECT_TRUE(post(other, kChunk, large, false));
  {
    Client quitter(server_.port(), server_.ca_file());
    Reply cut = quitter.post_streamed(target, body(2 * kChunk, large), scan_type(), false, nullptr,
                                      2 * kMiB);
    EXPECT_NE(cut.status, 200);
  }
  // The server sees the quitter's connection end a moment later.
  EXPECT_TRUE(eventually([&] { return post(*client_, 3 * kChunk, large, false); },
                         std::chrono::seconds(30), std::chrono::milliseconds(200)));
  EXPECT_FALSE(post(other, 4 * kChunk, small, true));
  // A small body sent in the header's own write: its first bytes arrive
  // with the header.
  const std::string tiny = pattern(4096, 4);
  EXPECT_EQ(client_->post_at_once(target, body(5 * kChunk, tiny), scan_type()).status, 200);
  for (uint64_t offset : {0ull, 1ull, 3ull}) EXPECT_TRUE(stored(offset * kChunk) == large);
  EXPECT_TRUE(stored(4 * kChunk) == small);
  EXPECT_TRUE(stored(5 * kChunk) == tiny);
  // Spooled bodies are gone once answered.
  EXPECT_TRUE(std::filesystem::is_empty(spool));
}

// The resume test of the imaging job in small: the server is killed in the
// middle of part 2, while part 2 is decoded, or once it is recorded (while
// it is hashed); after its restart a new job (new batch, same token, the
// image's id) asks what is held, as the agent does, and sends the rest.
TEST_F(UploadServerTest, ResumedJobFinishesTheImageAfterARestart) {
  enum When { kMidPart, kDecoding, kHashing };
  for (When when : {kMidPart, kDecoding, kHashing}) {
    SCOPED_TRACE(when);
    auto [id, token] = new_image(5);
    const std::string raw2 = pattern(3 * kMiB, 4) + std::string(kMiB, '\0') + pattern(kMiB - 7, 5);
    const std::string source = pattern(5 * kMiB, 3 + when) + raw2;
    std::vector<std::vector<Chunk>> parts = {part_chunks(source.substr(0, 5 * kMiB), 1, 2),
                                             part_chunks(hximg(raw2), 2, 2, "hximg", raw2.size())};
    for (const Chunk& c : parts[0]) ASSERT_EQ(send(token, c).status, 200);
    ASSERT_EQ(parts[1].size(), 2u);
    for (const Chunk& c : parts[1]) {
      if (when == kMidPart && c.index > 0) break;
      ASSERT_EQ(send(token, c).status, 200);
    }
    if (when == kHashing) {
      ASSERT_TRUE(eventually([&] {
        Json r = admin("GET", "/api/images/" + id);
        return json_get_bool(json_array_item(json_get(json_get(r.get(), "image"), "parts"), 1),
                             "done");
      }));
    }
    client_.reset();
    server_.kill();
    ASSERT_TRUE(server_.start());
    client_ = std::make_unique<Client>(server_.port(), server_.ca_file());

    const std::string batch = "20250201090000";
    EXPECT_EQ(status(token, 1, batch), "[0,1]");
    if (when == kMidPart) {
      EXPECT_EQ(status(token, 2, parts[1][0].batch), "[0]");
      EXPECT_EQ(status(token, 2, batch), "[]");
    }
    for (std::vector<Chunk>& part : parts) {
      const std::string held = status(token, part[0].part, batch);
      for (Chunk& c : part) {
        c.batch = batch;
        c.existing_disk_id = id;
        if (held.find(std::to_string(c.index)) != std::string::npos) continue;
        ASSERT_EQ(send(token, c).status, 200);
      }
    }
    Json info = finished(id, source);
    if (when == kMidPart) {
      // The chunk counted since part 1 was sealed went with the server.
      EXPECT_EQ(json_get_number(info.get(), "bodies"), 4);
      EXPECT_TRUE(json_get_bool(json_parse(send(token, parts[1][0]).body).get(), "image_complete"));
    }
  }
}

// Two runs send the same part with different bytes: the first stops after
// two chunks, the second (its own batch) asks what is held, as the agent
// does, and sends the rest. The part must be the second run's alone; chunks
// of the first may never be counted for it nor be combined with it.
TEST_F(UploadServerTest, ChunksOfAnotherBatchAreNeverCombined) {
  auto [id, token] = new_image(12);
  const std::string first = pattern(12 * kMiB, 5), second = pattern(12 * kMiB - 9, 6);
  std::vector<Chunk> a = part_chunks(first, 1, 1);
  std::vector<Chunk> b = part_chunks(second, 1, 1);
  for (Chunk& c : b) c.batch = "20250201090000";
  ASSERT_EQ(send(token, a[0]).status, 200);
  ASSERT_EQ(send(token, a[1]).status, 200);
  EXPECT_EQ(status(token, 1, a[0].batch), "[0,1]");

  EXPECT_EQ(status(token, 1, b[0].batch), "[]");
  // Its last chunk first: with the first run's chunks 0 and 1 held, the part
  // would otherwise be complete here.
  Reply r = send(token, b[2]);
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_FALSE(json_get_bool(json_parse(r.body).get(), "part_complete"));
  EXPECT_EQ(status(token, 1, b[0].batch), "[2]");
  EXPECT_EQ(status(token, 1, a[0].batch), "[]");
  for (const Chunk& c : {b[0], b[1]}) ASSERT_EQ(send(token, c).status, 200);
  finished(id, second);
}

}  // namespace
}  // namespace halvex::server
