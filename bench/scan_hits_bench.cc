// The cost of one scan chunk upload whose hit lists are long, on the real
// recovery-server over loopback TLS: ITEMS items in all, a third each of
// ftyp hits, image signatures and moov entries, in one body posted once the
// way an agent would. The server checks every item, in time linear in the
// body. (A million items make about 14 MB of results; the server takes up
// to 16 MiB.)
//
//   build/bench/scan_hits_bench [ITEMS]   (default 1000000)
//
// Starts `recovery-server init` and `serve` in a private folder, prints
// the body size and the answer's time, and removes everything at the end.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/json.h"
#include "server/net/net.h"
#include "server/uploads/upload_test_support.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

using halvex::Json;
namespace server = halvex::server;
namespace testing = halvex::testing;

int run(long items) {
  testing::TempDir dir;
  std::string data = dir.file("server"), error;
  testing::ChildProcess init({RECOVERY_SERVER_BIN, "init", "--data", data}, dir.path(), "init");
  if (!init.start(&error) || init.wait(std::chrono::seconds(60)).value_or(-1) != 0) {
    std::fprintf(stderr, "init failed: %s%s\n", error.c_str(), init.err().c_str());
    return 1;
  }
  testing::ChildProcess serve(
      {RECOVERY_SERVER_BIN, "serve", "--data", data, "--listen", "127.0.0.1:0"}, dir.path(),
      "serve");
  if (!serve.start(&error) ||
      !testing::wait_for_file_text(data + "/listen", "\n", std::chrono::seconds(15))) {
    std::fprintf(stderr, "serve failed: %s%s\n", error.c_str(), serve.err().c_str());
    return 1;
  }
  std::string listen = testing::read_text_file(data + "/listen");
  std::string token = testing::read_text_file(data + "/admin.token");
  token.erase(token.find_last_not_of('\n') + 1);

  server::ClientRequest rq;
  rq.host = "127.0.0.1";
  rq.port = static_cast<uint16_t>(std::stoi(listen.substr(listen.rfind(':') + 1)));
  rq.ca_file = data + "/ca.pem";
  rq.method = "POST";
  rq.target = "/api/scans";
  rq.authorization = "Bearer " + token;
  rq.content_type = "application/json";
  rq.body = "{\"machine_id\":\"5ec0000d0001\",\"source\":\"disk:0\"}";
  std::optional<server::ClientReply> made = server::https_request(rq, &error);
  if (!made || made->status != 200) {
    std::fprintf(stderr, "scan not made: %s\n", made ? made->body.c_str() : error.c_str());
    return 1;
  }
  Json scan = halvex::json_parse(made->body);
  const cJSON* s = halvex::json_get(scan.get(), "scan");

  // Every hit inside one chunk large enough to hold them all.
  std::string ftyp = "[", sigs = "[", moov = "{";
  const long each = (items + 2) / 3;
  for (long i = 0; i < each; i++) {
    std::string at = std::to_string(static_cast<uint64_t>(i) * 1024);
    ftyp += (i ? "," : "") + at;
    sigs += std::string(i ? "," : "") + "[" + at + ",\"jpeg\"]";
    moov += std::string(i ? "," : "") + "\"" + at + "\":1024";
  }
  std::string results =
      "{\"ftyp_list\":" + ftyp + "],\"moov_dict\":" + moov + "},\"image_sigs\":" + sigs + "]}";
  uint64_t chunk = static_cast<uint64_t>(each + 1) * 1024 + (1ull << 20);
  rq.target = "/api/remote/scanned_chunk?token=" + halvex::json_get_string(s, "token");
  rq.authorization.clear();
  rq.content_type = server::testing::scan_type();
  rq.body = server::testing::scan_body(halvex::json_get_string(s, "scan_id"), 0, chunk, results,
                                       "[]", "");
  rq.timeout_seconds = 600;
  auto started = std::chrono::steady_clock::now();
  std::optional<server::ClientReply> reply = server::https_request(rq, &error);
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!reply || reply->status != 200) {
    std::fprintf(stderr, "upload failed: %s\n", reply ? reply->body.c_str() : error.c_str());
    return 1;
  }
  std::printf("scan upload: %ld items (%ld of each kind), %zu-byte body, answered in %.2f s\n",
              each * 3, each, rq.body.size(), seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  long items = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 1000000;
  if (items <= 0) {
    std::fprintf(stderr, "usage: scan_hits_bench [ITEMS]\n");
    return 2;
  }
  return run(items);
}
