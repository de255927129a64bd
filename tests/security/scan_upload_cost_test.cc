// A scan chunk upload whose hit lists are long, against the real
// recovery-server: the server checks every hit, and must do so in time
// linear in the list (a list indexed item by item costs its square).

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

#include "core/json.h"
#include "server/net/net.h"
#include "server/uploads/upload_test_support.h"
#include "tests/integration/server_process.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;

using ScanUploadCostTest = testing::ServerTest;

TEST_F(ScanUploadCostTest, LongHitListsAreCheckedInLinearTime) {
  ASSERT_TRUE(serve({}));
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

  // 80,000 ftyp hits and as many image signatures and moov entries, all
  // inside a 1 GiB chunk.
  constexpr int kHits = 80000;
  std::string ftyp = "[", sigs = "[", moov = "{";
  for (int i = 0; i < kHits; i++) {
    std::string at = std::to_string(static_cast<uint64_t>(i) * 4096);
    ftyp += (i ? "," : "") + at;
    sigs += std::string(i ? "," : "") + "[" + at + ",\"jpeg\"]";
    moov += std::string(i ? "," : "") + "\"" + at + "\":1024";
  }
  std::string results =
      "{\"ftyp_list\":" + ftyp + "],\"moov_dict\":" + moov + "},\"image_sigs\":" + sigs + "]}";
  rq.target = "/api/remote/scanned_chunk?token=" + token;
  rq.authorization.clear();
  rq.content_type = server::testing::scan_type();
  rq.body = server::testing::scan_body(scan_id, 0, 1ull << 30, results, "[]", "");
  rq.timeout_seconds = 120;
  auto started = std::chrono::steady_clock::now();
  std::optional<server::ClientReply> reply = server::https_request(rq, &error);
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  ASSERT_TRUE(reply) << error;
  EXPECT_EQ(reply->status, 200) << reply->body;
  std::printf("scan upload: %d hits of each kind (%zu-byte body) answered in %.2f s\n", kHits,
              rq.body.size(), seconds);
  // Generous, for sanitizer builds on a busy machine: linear work takes a
  // second or two here, the quadratic walk well over two minutes.
  EXPECT_LT(seconds, 30.0);
}

}  // namespace
}  // namespace halvex
