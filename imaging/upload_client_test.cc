// The upload client against a scripted HTTPS server on loopback (real TLS,
// real libcurl), plus the chunk status reply parser on its own.

#include "imaging/upload_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>

#include "core/log.h"
#include "platform/clock_testing.h"
#include "platform/tls.h"
#include "tests/support/http_test_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_pki.h"

namespace halvex {
namespace {

using testing::HttpTestServer;
using testing::TempDir;
using testing::TestPki;

// One part of a multipart body.
struct FormPart {
  std::string name;
  std::string filename;  // "" unless a file field
  std::string content_type;
  std::string data;
};

std::string quoted_after(const std::string& text, const std::string& key) {
  size_t at = text.find(key + "=\"");
  if (at == std::string::npos) return "";
  at += key.size() + 2;
  return text.substr(at, text.find('"', at) - at);
}

// Splits a multipart/form-data body; an empty result when it is malformed.
std::vector<FormPart> parse_form(const std::string& body, const std::string& boundary) {
  const std::string open = "--" + boundary + "\r\n";
  const std::string next = "\r\n--" + boundary;
  std::vector<FormPart> parts;
  if (body.compare(0, open.size(), open) != 0) return {};
  size_t at = open.size();
  for (;;) {
    size_t head_end = body.find("\r\n\r\n", at);
    size_t data_end = body.find(next, head_end);
    if (head_end == std::string::npos || data_end == std::string::npos) return {};
    std::string head = body.substr(at, head_end - at);
    FormPart p;
    p.name = quoted_after(head, "; name");
    p.filename = quoted_after(head, "filename");
    size_t type = head.find("\r\nContent-Type: ");
    if (type != std::string::npos) p.content_type = head.substr(type + 16);
    p.data = body.substr(head_end + 4, data_end - head_end - 4);
    parts.push_back(p);
    at = data_end + next.size();
    if (body.compare(at, 2, "--") == 0)
      return body.substr(at) == "--\r\n" ? parts : std::vector<FormPart>{};
    if (body.compare(at, 2, "\r\n") != 0) return {};
    at += 2;
  }
}

std::string boundary_of(const HttpTestServer::Request& r) {
  const std::string prefix = "multipart/form-data; boundary=";
  std::string type = r.header("Content-Type");
  return type.compare(0, prefix.size(), prefix) == 0 ? type.substr(prefix.size()) : "";
}

std::string field(const std::vector<FormPart>& parts, const std::string& name) {
  for (const FormPart& p : parts)
    if (p.name == name) return p.data;
  return "<absent>";
}

std::vector<std::string> names(const std::vector<FormPart>& parts) {
  std::vector<std::string> out;
  for (const FormPart& p : parts) out.push_back(p.name);
  return out;
}

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((i * 131 + i / 4099) & 0xff);
  return s;
}

class UploadClientTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    pki_ = new TestPki(*testing::make_test_pki({"127.0.0.1"}, nullptr));
  }
  static void TearDownTestSuite() {
    testing::remove_test_pki(*pki_);
    delete pki_;
  }
  void SetUp() override {
    tls_set_ca_file(pki_->ca_cert_path);
    // Retries go at once; the waits asked for are kept in waits_.
    clock_set_time_scale_for_testing(0);
    clock_set_wait_observer_for_testing([this](uint32_t ms) {
      std::lock_guard<std::mutex> lock(waits_mu_);
      waits_.push_back(ms);
    });
    log_open(logdir_.file("service.log"));
    server_ = std::make_unique<HttpTestServer>(pki_->cert_path, pki_->key_path);
    std::string error;
    ASSERT_TRUE(server_->start(&error)) << error;
    info_.base_url = server_->url();
    info_.token = "tok";
    info_.batch_id = "b-7";
    info_.part_number = 2;
    info_.total_parts = 5;
  }
  void TearDown() override {
    server_->stop();
    log_close();
    clock_set_wait_observer_for_testing(nullptr);
    clock_set_time_scale_for_testing(100);
    tls_set_ca_file("");
  }

  Json upload(const std::string& data, std::string* error, std::atomic<bool>* cancel = nullptr) {
    return upload_part(info_, reinterpret_cast<const uint8_t*>(data.data()), data.size(), cancel,
                       error);
  }
  std::vector<HttpTestServer::Request> posts() const {
    std::vector<HttpTestServer::Request> out;
    for (auto& r : server_->requests())
      if (r.method == "POST") out.push_back(r);
    return out;
  }
  std::vector<uint32_t> waits() {
    std::lock_guard<std::mutex> lock(waits_mu_);
    return waits_;
  }
  std::string log_text() { return testing::read_file(logdir_.file("service.log")); }

  static TestPki* pki_;
  TempDir logdir_;
  std::unique_ptr<HttpTestServer> server_;
  UploadPartInfo info_;
  std::mutex waits_mu_;
  std::vector<uint32_t> waits_;  // product milliseconds of each clock wait
};

TestPki* UploadClientTest::pki_ = nullptr;

TEST_F(UploadClientTest, ChunkStatusFlags) {
  struct Case {
    const char* reply;
    int32_t total;
    std::optional<std::vector<uint8_t>> flags;
  };
  const Case cases[] = {
      {R"({"received_chunks":[0,2]})", 3, std::vector<uint8_t>{1, 0, 1}},
      {R"({"received_chunks":[-1,3,1,99999999999]})", 3, std::vector<uint8_t>{0, 1, 0}},
      // Only whole numbers count: garbage must never mark a chunk as held.
      {R"({"received_chunks":["0",1.5,null,true,[2],{"v":2}]})", 3, std::vector<uint8_t>{0, 0, 0}},
      {R"({"received_chunks":"0,1"})", 2, std::vector<uint8_t>{0, 0}},
      {R"({"status":"ok"})", 2, std::vector<uint8_t>{0, 0}},
      {R"([0,1])", 2, std::vector<uint8_t>{0, 0}},
      {R"({"received_chunks":[0]})", 0, std::vector<uint8_t>{}},
      {"not json", 2, std::nullopt},
      {"", 2, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    EXPECT_EQ(chunk_status_flags(c.reply, c.total), c.flags);
  }
}

TEST_F(UploadClientTest, ResumeSendsOnlyMissingChunksOnOneConnection) {
  std::string data = pattern(10u << 20);
  server_->push(HttpTestServer::Reply::of(200, R"({"received_chunks":[0,2]})"));
  server_->push(HttpTestServer::Reply::of(201, R"({"chunk":1})"));
  std::string error;
  Json reply = upload(data, &error);
  ASSERT_NE(reply, nullptr) << error;
  EXPECT_EQ(json_print(reply.get()), R"({"chunk":1})");

  auto requests = server_->requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/upload_chunk_status?token=tok&batch_id=b-7&part_number=2");
  EXPECT_EQ(requests[1].target, "/upload_chunk?token=tok");
  EXPECT_EQ(requests[1].header("User-Agent"), "Halvex_Service/1.0");
  auto parts = parse_form(requests[1].body, boundary_of(requests[1]));
  EXPECT_EQ(field(parts, "chunk_index"), "1");
  EXPECT_EQ(field(parts, "total_chunks"), "3");
  EXPECT_EQ(field(parts, "chunk"), data.substr(4u << 20, 4u << 20));
  EXPECT_EQ(server_->connections(), 1);
  EXPECT_NE(log_text().find("upload: resume — 2/3 chunks already on server, skipping"),
            std::string::npos);
}

TEST_F(UploadClientTest, WithoutStatusEveryChunkGoesOut) {
  std::string data = pattern((10u << 20) + 1);
  server_->push(HttpTestServer::Reply::of(404, "no such part"));  // the status query: not JSON
  std::string error;
  ASSERT_NE(upload(data, &error), nullptr) << error;
  auto sent = posts();
  ASSERT_EQ(sent.size(), 3u);
  const size_t sizes[] = {4u << 20, 4u << 20, (2u << 20) + 1};
  std::set<std::string> boundaries;
  for (size_t i = 0; i < sent.size(); i++) {
    auto parts = parse_form(sent[i].body, boundary_of(sent[i]));
    EXPECT_EQ(field(parts, "chunk_index"), std::to_string(i));
    EXPECT_EQ(field(parts, "chunk"), data.substr(i * (4u << 20), sizes[i]));
    boundaries.insert(boundary_of(sent[i]));
  }
  EXPECT_EQ(boundaries.size(), 3u);  // a fresh boundary per chunk
  EXPECT_EQ(log_text().find("upload: resume"), std::string::npos);
}

TEST_F(UploadClientTest, AllChunksHeldSendsNothing) {
  for (std::string disk_id : {"", "disk-42"}) {
    SCOPED_TRACE(disk_id);
    info_.existing_disk_id = disk_id;
    server_->push(HttpTestServer::Reply::of(200, R"({"received_chunks":[1,0,1]})"));
    std::string error;
    Json reply = upload(pattern(5u << 20), &error);
    ASSERT_NE(reply, nullptr) << error;
    EXPECT_EQ(json_print(reply.get()), disk_id.empty()
                                           ? std::string(R"({"status":"ok"})")
                                           : R"({"status":"ok","disk_id":")" + disk_id + "\"}");
  }
  EXPECT_TRUE(posts().empty());
}

TEST_F(UploadClientTest, FormFieldsInOrder) {
  struct Case {
    const char* format;
    std::string disk_name;
    std::string disk_id;
    std::vector<std::string> fields;
    std::string filename;
  };
  const std::vector<std::string> base = {"batch_id",    "part_number",  "total_parts",
                                         "chunk_index", "total_chunks", "filename",
                                         "disk_name"};
  auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> all = base;
    all.insert(all.end(), more.begin(), more.end());
    all.push_back("chunk");
    return all;
  };
  std::string huge(20000, 'N');  // far beyond any fixed slack in the body
  const Case cases[] = {
      {"", "Disk A", "", with({}), "Disk A.part002.img"},
      {"hximg", "", "", with({"compressed", "original_size"}), "part.part002.hximg"},
      {"", "", "d-1", with({"existing_disk_id"}), "part.part002.img"},
      {"hximg", huge, huge, with({"compressed", "original_size", "existing_disk_id"}),
       std::string(127, 'N')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.filename);
    info_.format = c.format;
    info_.disk_name = c.disk_name;
    info_.existing_disk_id = c.disk_id;
    info_.uncompressed_size = 5000000000ull;
    server_->push(HttpTestServer::Reply::of(500, "no status"));
    std::string error;
    ASSERT_NE(upload("xyz", &error), nullptr) << error;
    auto sent = posts();
    ASSERT_FALSE(sent.empty());
    const auto& r = sent.back();
    auto parts = parse_form(r.body, boundary_of(r));
    EXPECT_EQ(names(parts), c.fields);
    EXPECT_EQ(field(parts, "filename"), c.filename);
    EXPECT_EQ(field(parts, "disk_name"), c.disk_name);
    EXPECT_EQ(field(parts, "original_size"), *c.format ? "5000000000" : "<absent>");
    EXPECT_EQ(field(parts, "existing_disk_id"), c.disk_id.empty() ? "<absent>" : c.disk_id);
    EXPECT_EQ(field(parts, "chunk"), "xyz");
  }
}

TEST_F(UploadClientTest, ChunkBodyBytes) {
  info_.format = "hximg";
  info_.disk_name = "Samsung SSD";
  info_.uncompressed_size = 4096;
  server_->push(HttpTestServer::Reply::of(200, "{}"));
  std::string error;
  ASSERT_NE(upload(std::string("\x00\r\n--\xff", 6), &error), nullptr) << error;
  auto sent = posts();
  ASSERT_EQ(sent.size(), 1u);
  const auto& r = sent[0];
  std::string b = boundary_of(r);
  ASSERT_EQ(b.size(), 29u);
  EXPECT_EQ(b.substr(0, 17), "----ChunkBoundary");
  EXPECT_EQ(b.find_first_not_of("0123456789abcdef", 17), std::string::npos);
  auto text = [&](const char* name, const char* value) {
    return "--" + b + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value +
           "\r\n";
  };
  std::string expect = text("batch_id", "b-7") + text("part_number", "2") +
                       text("total_parts", "5") + text("chunk_index", "0") +
                       text("total_chunks", "1") + text("filename", "Samsung SSD.part002.hximg") +
                       text("disk_name", "Samsung SSD") + text("compressed", "hximg") +
                       text("original_size", "4096") + "--" + b +
                       "\r\nContent-Disposition: form-data; name=\"chunk\"; "
                       "filename=\"chunk0000\"\r\nContent-Type: application/octet-stream\r\n\r\n" +
                       std::string("\x00\r\n--\xff", 6) + "\r\n--" + b + "--\r\n";
  EXPECT_EQ(r.body, expect);
}

TEST_F(UploadClientTest, EmptyPartIsOneEmptyChunkAndLongTokensStayWhole) {
  info_.token = std::string(700, 't');
  server_->push(HttpTestServer::Reply::of(200, R"({"received_chunks":[]})"));
  std::string error;
  ASSERT_NE(upload("", &error), nullptr) << error;
  auto sent = posts();
  ASSERT_EQ(sent.size(), 1u);
  const auto& r = sent[0];
  EXPECT_EQ(r.target, "/upload_chunk?token=" + info_.token);
  auto parts = parse_form(r.body, boundary_of(r));
  EXPECT_EQ(field(parts, "total_chunks"), "1");
  EXPECT_EQ(field(parts, "chunk"), "");
}

TEST_F(UploadClientTest, FinalStatusesAreNotRetried) {
  for (int status : {401, 403, 404}) {
    SCOPED_TRACE(status);
    server_->push(HttpTestServer::Reply::of(200, "{}"));
    server_->push(HttpTestServer::Reply::of(status, "denied"));
    size_t before = posts().size();
    std::string error;
    EXPECT_EQ(upload("data", &error), nullptr);
    EXPECT_EQ(error, "Chunk 0: HTTP " + std::to_string(status) + ": denied");
    EXPECT_EQ(posts().size(), before + 1);
  }
  EXPECT_EQ(log_text().find("retrying"), std::string::npos);
  EXPECT_TRUE(waits().empty());
}

TEST_F(UploadClientTest, OtherFailuresAreRetriedTwice) {
  // A status body that merely mentions a final status is no final status.
  server_->push(HttpTestServer::Reply::of(200, "{}"));
  server_->push(HttpTestServer::Reply::of(500, "upstream said HTTP 404"));
  server_->push(HttpTestServer::Reply::of(200, "<html>"));
  server_->push(HttpTestServer::Reply::of(200, R"({"done":true})"));
  std::string error;
  Json reply = upload("data", &error);
  ASSERT_NE(reply, nullptr) << error;
  EXPECT_EQ(json_print(reply.get()), R"({"done":true})");
  EXPECT_EQ(posts().size(), 3u);

  server_->set_default(HttpTestServer::Reply::dropped());
  EXPECT_EQ(upload("data", &error), nullptr);
  EXPECT_EQ(error, "Chunk 0 failed after 3 retries: WinHttpReceiveResponse failed (52)");
  std::string log = log_text();
  for (const char* line : {"HTTP 500: upstream said HTTP 404, retrying in 3s",
                           "Invalid JSON response (HTTP 200), retrying in 6s",
                           "WinHttpReceiveResponse failed (52), retrying in 3s",
                           "WinHttpReceiveResponse failed (52), retrying in 6s"})
    EXPECT_NE(log.find(std::string("upload: chunk 0 error: ") + line), std::string::npos) << line;
  size_t warns = 0;
  for (size_t at = log.find("retrying in"); at != std::string::npos;
       at = log.find("retrying in", at + 1))
    warns++;
  EXPECT_EQ(warns, 4u);
  // The waits themselves, not just the log lines, grow with the attempt.
  EXPECT_EQ(waits(), (std::vector<uint32_t>{3000, 6000, 3000, 6000}));
}

TEST_F(UploadClientTest, CancelStopsBeforeTheNextChunk) {
  std::atomic<bool> cancel{true};
  server_->push(HttpTestServer::Reply::of(200, R"({"received_chunks":[0]})"));
  std::string error;
  EXPECT_EQ(upload("x", &error, &cancel), nullptr);
  EXPECT_EQ(error, "Upload cancelled");  // checked before skipped chunks too
  EXPECT_TRUE(posts().empty());
}

}  // namespace
}  // namespace halvex
