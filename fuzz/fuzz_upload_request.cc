// Upload requests as an agent (or anyone holding a token) sends them, fed
// to the server's request handler: the first byte picks the endpoint, the
// rest is the body (or the query of a chunk status request). The tokens are
// valid, so every request reaches the form reader and the checks behind
// it. Checked: nothing crashes, and no input is answered with anything but
// a success or a refusal of the request (never a server error).

#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/json.h"
#include "fuzz/fuzz_support.h"
#include "server/admin/app.h"
#include "server/hub/hub.h"
#include "server/store/store.h"
#include "server/uploads/uploads.h"

namespace {

using namespace halvex;
using namespace halvex::server;

constexpr const char* kAdmin = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

std::unique_ptr<Store> g_store;
std::unique_ptr<Hub> g_hub;
std::unique_ptr<Uploads> g_uploads;
std::unique_ptr<App> g_app;
std::string g_image_token, g_scan_token;

HttpResponse call(const std::string& method, const std::string& target, const std::string& body,
                  const std::string& type, bool admin) {
  HttpRequest req;
  req.method = method;
  req.target = target;
  req.body = body;
  req.content_type = type;
  if (admin) req.authorization = std::string("Bearer ") + kAdmin;
  return g_app->handle(req);
}

std::string issue(const char* path, const char* member, const std::string& body) {
  HttpResponse r = call("POST", path, body, "application/json", true);
  halvex::fuzz::check(r.status == 200, "a token is issued");
  return json_get_string(json_get(json_parse(r.body).get(), member), "token");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (sodium_init() < 0) return 0;
  std::string dir = halvex::fuzz::make_temp_dir("uploads");
  std::string error;
  g_store = Store::open(dir + "/server.db", &error);
  halvex::fuzz::check(g_store != nullptr, "the store opens");
  g_hub = std::make_unique<Hub>(*g_store);
  g_uploads = std::make_unique<Uploads>(*g_store, dir);
  g_app = std::make_unique<App>(*g_hub, kAdmin, g_uploads.get());
  g_image_token =
      issue("/api/images", "image", R"({"machine_id":"m1","source":"disk:0","part_size_mb":1})");
  g_scan_token = issue("/api/scans", "scan", R"({"machine_id":"m1","source":"disk:0"})");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  HttpResponse r;
  switch (data[0] % 4) {
    case 0:
      r = call("POST", "/upload_chunk?token=" + g_image_token, rest,
               "multipart/form-data; boundary=----ChunkBoundary1a2b3c4d5e6f", false);
      break;
    case 1:
      r = call("POST", "/api/remote/scanned_chunk?token=" + g_scan_token, rest,
               "multipart/form-data; boundary=----ScanBoundary0badf00d4c3b", false);
      break;
    case 2:
      r = call("POST", "/api/remote/video_thumbnail?token=" + g_scan_token, rest,
               "multipart/form-data; boundary=----ThumbBoundary12345678abcd", false);
      break;
    default:
      r = call("GET", "/upload_chunk_status?token=" + g_image_token + "&" + rest, "", "", false);
      break;
  }
  halvex::fuzz::check(r.status == 200 || (r.status >= 400 && r.status < 500), "no server error");
  halvex::fuzz::check(r.content_type == "application/json", "replies are JSON");
  return 0;
}
