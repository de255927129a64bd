// A scan chunk upload whose hit and region lists are long, against the
// real recovery-server: the server checks every hit, and the operator's
// console reads them back, each in time linear in the list (a list indexed
// item by item costs its square).

#include <gtest/gtest.h>

#include <chrono>

#include "core/json.h"
#include "server/net/net.h"
#include "server/uploads/upload_test_support.h"
#include "tests/integration/server_process.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;

using ScanUploadCostTest = testing::ServerTest;

TEST_F(ScanUploadCostTest, LongListsAreCheckedAndShownInLinearTime) {
  ASSERT_TRUE(serve());
  server::ClientRequest rq = server_.request("/api/scans", true);
  rq.method = "POST";
  rq.content_type = "application/json";
  rq.body = "{\"machine_id\":\"5ec0000d0001\",\"source\":\"disk:0\"}";
  std::string error;
  std::optional<server::ClientReply> made = server::https_request(rq, &error);
  ASSERT_TRUE(made && made->status == 200) << error << (made ? made->body : "");
  Json scan = json_parse(made->body);
  const cJSON* s = json_get(scan.get(), "scan");
  std::string token = json_get_string(s, "token"), scan_id = json_get_string(s, "scan_id");

  // 80,000 ftyp hits and as many image signatures, moov entries and
  // (empty) regions, all inside a 1 GiB chunk.
  constexpr int kHits = 80000;
  std::string ftyp = "[", sigs = "[", moov = "{", index = "[";
  for (int i = 0; i < kHits; i++) {
    std::string at = std::to_string(static_cast<uint64_t>(i) * 4096);
    ftyp += (i ? "," : "") + at;
    sigs += std::string(i ? "," : "") + "[" + at + ",\"JPEG\"]";
    moov += std::string(i ? "," : "") + "\"" + at + "\":1024";
    index += std::string(i ? "," : "") + "{\"start\":" + at + ",\"end\":" + at + ",\"size\":0}";
  }
  std::string results =
      "{\"ftyp_list\":" + ftyp + "],\"moov_dict\":" + moov + "},\"image_sigs\":" + sigs + "]}";
  rq.target = "/api/remote/scanned_chunk?token=" + token;
  rq.authorization.clear();
  rq.content_type = server::testing::scan_type();
  rq.body = server::testing::scan_body(scan_id, 0, 1ull << 30, results, index + "]", "");
  // Each answer within 30 s: generous, for sanitizer builds on a busy
  // machine: linear work takes a second or two here, the quadratic walk well
  // over two minutes.
  auto answer_in_time = [&](const std::string& what) {
    rq.timeout_seconds = 120;
    auto started = std::chrono::steady_clock::now();
    std::optional<server::ClientReply> reply = server::https_request(rq, &error);
    ASSERT_TRUE(reply) << what << ": " << error;
    EXPECT_EQ(reply->status, 200) << what << ": " << reply->body;
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
              30.0)
        << what;
  };
  ASSERT_NO_FATAL_FAILURE(answer_in_time("the upload"));

  // The operator's console lists the chunk's pictures and videos.
  const std::string login = std::string(64, 'a');
  server::ClientRequest in =
      server_.form_post("/login", "login_token=" + login + "&username=alice&password=pw-alice");
  in.cookie = "__Host-halvex_login=" + login;
  std::optional<server::ClientReply> session = server::https_request(in, &error);
  ASSERT_TRUE(session && session->status == 303) << error;
  std::string cookie;
  for (const auto& [name, value] : session->headers)
    if (name == "Set-Cookie" && value.rfind("__Host-halvex_session=", 0) == 0)
      cookie = value.substr(0, value.find(';'));
  const std::string api = "/console/api/scans/" + std::to_string(json_get_int32(s, "id"));
  for (const char* what : {"/pictures", "/videos"}) {
    rq = server_.request(api + what);
    rq.cookie = cookie;
    ASSERT_NO_FATAL_FAILURE(answer_in_time(what));
  }
}

}  // namespace
}  // namespace halvex
