// The scan request as read, and whole scans of an image file watched over a
// real TLS WebSocket. Every upload fails (nothing listens at its port; the
// waits between attempts are scaled to 1 %); read failures come from the
// block file's fault table. Uploads that arrive: tests/e2e/scan_e2e_test.cc.

#include "scan/scan_job.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <set>
#include <thread>

#include "core/json.h"
#include "core/thread_testing.h"
#include "link/proto.h"
#include "platform/block_file_testing.h"
#include "platform/clock_testing.h"
#include "tests/support/event_link.h"
#include "tests/support/eventually.h"
#include "tests/support/http_test_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_pki.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;

constexpr uint64_t kMiB = 1048576;

TEST(ScanRequestTest, MembersAndDefaults) {
  ScanRequest r = scan_read_request(nullptr, "https://srv:8443");
  EXPECT_FALSE(r.scan_id);
  EXPECT_EQ(r.disk_id, -1);
  EXPECT_EQ(scan_source(r), std::nullopt);  // -1 names no disk
  EXPECT_EQ(r.chunk_size, 67108864);
  EXPECT_EQ(r.upload_url, "https://srv:8443/api/remote/scanned_chunk?token=");

  struct Case {
    const char* request;
    const char* url;
  } urls[] = {
      {R"({"direct_url":"https://a","server_url":"https://b","upload_token":"t&x"})",
       "https://a/api/remote/scanned_chunk?token=t&x"},
      {R"({"server_url":"https://b","upload_token":"tok"})",
       "https://b/api/remote/scanned_chunk?token=tok"},
      {R"({"direct_url":7,"server_url":"https://b"})", "https://b/api/remote/scanned_chunk?token="},
      {R"({"upload_token":5})", "https://srv:8443/api/remote/scanned_chunk?token="},
  };
  for (const Case& c : urls) {
    Json d = json_parse(c.request);
    EXPECT_EQ(scan_read_request(d.get(), "https://srv:8443").upload_url, c.url) << c.request;
  }
  // Kept whole, so that the scan can refuse it rather than send elsewhere.
  Json long_token = json_parse("{\"upload_token\":\"" + std::string(600, 'k') + "\"}");
  EXPECT_EQ(scan_read_request(long_token.get(), "https://s").upload_url,
            "https://s/api/remote/scanned_chunk?token=" + std::string(600, 'k'));

  Json d = json_parse(R"({"scan_id":"s1","disk_id":3,"disk_path":"","chunk_size":1e12,
                          "start_offset":-5,"scan_size":1e30,"total_size":4096.9})");
  r = scan_read_request(d.get(), "");
  EXPECT_EQ(r.scan_id, "s1");
  EXPECT_EQ(r.disk_id, 3);  // an empty "disk_path" leaves "disk_id" in charge
  EXPECT_EQ(r.chunk_size, INT32_MAX);
  EXPECT_EQ(r.start, 0u);
  EXPECT_EQ(r.scan_size, UINT64_MAX);
  EXPECT_EQ(r.total_size, 4096u);

  d = json_parse(R"({"disk_id":0,"disk_path":"/images/card.img","scan_id":12})");
  r = scan_read_request(d.get(), "");
  EXPECT_FALSE(r.scan_id);  // not a string: absent
  EXPECT_EQ(scan_source(r), "/images/card.img");
}

TEST(ScanRequestTest, EndOfTheScannedRange) {
  struct Case {
    uint64_t start, scan_size, total, end;
  } cases[] = {
      {0, 0, 1000, 1000},  // 0: to the end of the disk
      {100, 500, 1000, 600},
      {100, 900, 1000, 1000},            // exactly to the end
      {100, 901, 1000, 1000},            // past the end: cut there
      {2000, 0, 1000, 1000},             // start beyond the end: nothing to read
      {UINT64_MAX - 1, 10, 1000, 1000},  // start + size overflows
  };
  for (const Case& c : cases) {
    ScanRequest r;
    r.start = c.start;
    r.scan_size = c.scan_size;
    EXPECT_EQ(scan_end(r, c.total), c.end) << c.start << " + " << c.scan_size;
  }
}

using Event = testing::EventLink::Event;

class ScanJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    proto_init();
    scan_register_handlers(nullptr);
    std::string error;
    pki_ = *testing::make_test_pki({"localhost"}, &error);
    // Retry waits of 50 ms and 100 ms; heartbeats every 200 ms.
    clock_set_time_scale_for_testing(1);
    ASSERT_TRUE(link_.start(pki_, &error)) << error;
    image_ = dir_.file("card.img");
  }
  void TearDown() override {
    block_file_testing_set_faults({});
    clock_set_time_scale_for_testing(100);
    testing::remove_test_pki(pki_);
  }

  // An image of `size` bytes with a JPEG start every 256 KiB.
  void make_image(uint64_t size) {
    std::string bytes(size, '\0');
    for (uint64_t i = 0; i < size; i++) bytes[i] = static_cast<char>((i * 31) >> 9);
    for (uint64_t at = 1000; at + 4 <= size; at += 262144) bytes.replace(at, 4, "\xFF\xD8\xFF\xE1");
    std::ofstream(image_, std::ios::binary) << bytes;
  }

  // The request for a scan of the image with uploads that cannot arrive.
  // Members in `more` (",name:value...") come first, so they win over the
  // defaults here.
  std::string request(const std::string& scan_id, const std::string& more = "") {
    return R"({"scan_id":")" + scan_id + "\"" + more + R"(,"disk_path":")" + image_ +
           R"(","chunk_size":1048576,"direct_url":"https://127.0.0.1:1","upload_token":"t"})";
  }

  void start(const std::string& d) {
    ASSERT_TRUE(link_.server().send_text(R"({"e":"stream_disk_chunks","d":)" + d + "}"));
  }

  // Every event of the scan `scan_id`, once its last one arrived.
  std::vector<Event> wait_for_end(const std::string& scan_id) {
    return link_.wait_for_run("scan_id", scan_id, {"stream_chunk_complete", "remote_scan_error"});
  }
  static std::string print(const Event& e) { return json_print(e.d.get()); }

  TempDir dir_;
  std::string image_;
  testing::TestPki pki_;
  testing::EventLink link_;
};

// Unreadable sectors are zero-filled and reported; the scan goes on. Every
// upload fails here, so every chunk is flagged and listed.
TEST_F(ScanJobTest, UnreadableSectorsAndFailedUploadsAreReported) {
  make_image(3 * kMiB);
  block_file_testing_set_faults(
      {{"", kMiB + 4096, 8192, EIO, -1}, {"", 2 * kMiB + 512, 100, EIO, -1}});
  start(request("zeros"));
  std::vector<Event> ev = wait_for_end("zeros");
  ASSERT_EQ(testing::EventLink::names(ev),
            (std::vector<std::string>{"stream_chunk_progress", "stream_chunk_progress",
                                      "stream_chunk_progress", "stream_chunk_progress",
                                      "stream_chunk_complete"}));
  EXPECT_EQ(print(ev[0]), R"({"scan_id":"zeros","offset":0,"total_size":3145728,"chunk_index":0})");
  EXPECT_EQ(
      print(ev[2]),
      R"({"scan_id":"zeros","offset":2097152,"total_size":3145728,"chunk_index":2,"upload_failed":true})");
  EXPECT_EQ(
      print(ev[4]),
      R"({"scan_id":"zeros","status":"complete","unreadable_bytes":8704,)"
      R"("unreadable_ranges":[{"offset":1052672,"length":8192},{"offset":2097664,"length":512}],)"
      R"("failed_chunks":[0,1048576,2097152]})");
}

TEST_F(ScanJobTest, ReadFailuresThatEndTheScan) {
  make_image(3 * kMiB);
  struct Case {
    const char* id;
    std::vector<BlockFault> faults;
    const char* more;
    const char* error;
    size_t chunks_before;  // uploaded, each with its progress, before the error
  } cases[] = {
      {"gone", {{"", kMiB + kMiB / 2, 4096, ENODEV, -1}}, "", "Read error at offset 1572864", 1},
      {"medium", {{"", 2 * kMiB, 512, ENOMEDIUM, -1}}, "", "Read error at offset 2097152", 2},
      // The server says the disk is longer than it is: the source ends early.
      {"short", {}, R"(,"total_size":4194304)", "Read error at offset 3145728", 3},
      // Nothing of a whole chunk can be read.
      {"dead", {{"", kMiB, kMiB, EIO, -1}}, "", "Read error at offset 1048576", 1},
  };
  for (const Case& c : cases) {
    block_file_testing_set_faults(c.faults);
    start(request(c.id, c.more));
    std::vector<Event> ev = wait_for_end(c.id);
    // The start's progress, one per chunk before the failed read, the error.
    ASSERT_EQ(ev.size(), c.chunks_before + 2) << c.id;
    EXPECT_EQ(json_get_int32(ev[c.chunks_before].d.get(), "chunk_index"),
              static_cast<int32_t>(c.chunks_before));
    EXPECT_EQ(print(ev.back()),
              std::string(R"({"scan_id":")") + c.id + R"(","error":")" + c.error + "\"}");
    for (const Event& e : ev) EXPECT_NE(e.name, "stream_chunk_complete") << c.id;
  }
}

// A second start while a scan runs is refused; a cancel stops the running
// scan after the two chunks whose upload attempts are under way, without
// "stream_chunk_complete".
TEST_F(ScanJobTest, OneScanAtATimeAndCancel) {
  make_image(8 * kMiB);
  clock_set_time_scale_for_testing(20);  // 1 s and 2 s between attempts
  start(request("first"));
  start(request("second"));
  auto progress_of_first = [&](int chunk_index) {
    for (const Event& e : link_.events())
      if (json_get_string(e.d.get(), "scan_id") == "first" &&
          json_get_int32(e.d.get(), "chunk_index") == chunk_index)
        return true;
    return false;
  };
  ASSERT_TRUE(testing::eventually([&] { return progress_of_first(1); }, 30s));
  // Chunks 0 and 1 were uploaded side by side, so chunks 2 and 3 begin
  // their 3 s of attempts when that progress is sent; cancel well inside
  // them, not in the instant before they begin (which a loaded machine can
  // stretch).
  std::this_thread::sleep_for(300ms);
  ASSERT_TRUE(link_.server().send_text(R"({"e":"cancel_remote_scan","d":{}})"));

  // The scan has ended once a new start is accepted.
  bool accepted = false;
  for (int i = 0; i < 300 && !accepted; i++) {
    size_t from = link_.server().messages().size();
    start(R"({"scan_id":"probe"})");
    link_.server().wait_for_messages(from + 1, 10s);
    std::vector<Event> reply = link_.events(from);
    accepted = !reply.empty() && json_get_string(reply[0].d.get(), "scan_id") == "probe";
    if (!accepted) std::this_thread::sleep_for(50ms);
  }
  ASSERT_TRUE(accepted);
  wait_for_end("probe");

  std::vector<std::string> first, refusals;
  for (const Event& e : link_.events()) {
    if (json_get_string(e.d.get(), "scan_id") == "first") first.push_back(e.name + " " + print(e));
    if (e.name == "remote_scan_error" && !json_has(e.d.get(), "scan_id"))
      refusals.push_back(print(e));
  }
  ASSERT_GE(refusals.size(), 1u);  // "second", and probes sent while "first" ran
  EXPECT_EQ(refusals[0], R"({"error":"Remote scan already in progress"})");
  ASSERT_EQ(first.size(), 5u) << ::testing::PrintToString(first);
  EXPECT_EQ(first[4],
            "stream_chunk_progress {\"scan_id\":\"first\",\"offset\":4194304,"
            "\"total_size\":8388608,\"chunk_index\":4,\"upload_failed\":true}");
}

// Two chunk uploads are under way at once and never more; progress still
// comes in chunk order, and every chunk arrives once.
TEST_F(ScanJobTest, TwoUploadsUnderWayAtOnce) {
  make_image(4 * kMiB);
  testing::HttpTestServer server(pki_.cert_path, pki_.key_path);
  std::string error;
  ASSERT_TRUE(server.start(&error)) << error;
  testing::HttpTestServer::Reply slow = testing::HttpTestServer::Reply::of(200, "{}");
  slow.delay_ms = 2000;  // far more than the two uploads take to begin
  server.set_default(slow);
  start(request("pair",
                R"(,"direct_url":"https://localhost:)" + std::to_string(server.port()) + "\""));
  ASSERT_TRUE(testing::eventually([&] { return server.requests().size() >= 2; }));
  std::this_thread::sleep_for(300ms);  // a third upload would have begun by now
  EXPECT_EQ(server.requests().size(), 2u);
  size_t seen = 0;  // events of this scan: the start's progress only
  for (const Event& e : link_.events()) seen += json_get_string(e.d.get(), "scan_id") == "pair";
  EXPECT_EQ(seen, 1u);

  std::vector<Event> ev = wait_for_end("pair");
  ASSERT_EQ(ev.size(), 6u);
  for (int i = 1; i <= 4; i++)
    EXPECT_EQ(print(ev[i]), R"({"scan_id":"pair","offset":)" + std::to_string(i * kMiB) +
                                R"(,"total_size":4194304,"chunk_index":)" + std::to_string(i) +
                                "}");
  EXPECT_EQ(print(ev[5]), R"({"scan_id":"pair","status":"complete"})");
  std::multiset<std::string> offsets;
  for (const testing::HttpTestServer::Request& req : server.requests()) {
    const std::string field = "name=\"offset\"\r\n\r\n";
    size_t at = req.body.find(field);
    ASSERT_NE(at, std::string::npos);
    at += field.size();
    offsets.insert(req.body.substr(at, req.body.find('\r', at) - at));
  }
  EXPECT_EQ(offsets, (std::multiset<std::string>{"0", "1048576", "2097152", "3145728"}));
  EXPECT_EQ(server.connections(), 2);  // each upload thread keeps its connection
}

// Scans that read no chunk. The disk cannot be opened, the chunk buffer
// cannot be had, or the range is empty: one progress event, then the end.
// Refused or failed at the start, with no progress: an upload URL over 511
// characters (it used to be cut and the chunks sent to the cut URL), no
// memory or no thread (which used to end the process). The next scan runs.
TEST_F(ScanJobTest, ScansThatReadNoChunk) {
  make_image(kMiB);
  struct Case {
    std::string request;
    std::string last;
    bool progress = true;
    void (*inject)(const char*) = nullptr;
  } cases[] = {
      {R"({"scan_id":"nodisk"})",
       R"({"scan_id":"nodisk","error":"Cannot open disk for scanning"})"},
      {R"({"scan_id":"nofile","disk_path":")" + dir_.file("missing.img") + "\"}",
       R"({"scan_id":"nofile","error":"Cannot open disk for scanning"})"},
      {request("negative", R"(,"chunk_size":-1)"),
       R"({"scan_id":"negative","error":"Out of memory"})"},
      {request("zero", R"(,"chunk_size":0)"), R"({"scan_id":"zero","status":"complete"})"},
      {request("beyond", R"(,"start_offset":2097152)"),
       R"({"scan_id":"beyond","status":"complete"})"},
      {request("long", R"(,"upload_token":")" + std::string(480, 't') + "\""),
       R"({"scan_id":"long","error":"Upload URL too long"})", false},
      {request("nomem"), R"({"scan_id":"nomem","error":"Out of memory"})", false,
       thread_testing_fail_next_body},
      {request("nothread"), R"({"scan_id":"nothread","error":"Cannot start thread"})", false,
       thread_testing_fail_next_start},
  };
  for (const Case& c : cases) {
    std::string id = json_get_string(json_parse(c.request).get(), "scan_id");
    if (c.inject != nullptr) c.inject("scan");
    start(c.request);
    std::vector<Event> ev = wait_for_end(id);
    ASSERT_EQ(ev.size(), c.progress ? 2u : 1u) << id;
    if (c.progress) {
      EXPECT_EQ(ev[0].name, "stream_chunk_progress") << id;
    }
    EXPECT_EQ(print(ev.back()), c.last);
  }
  start(request("after"));
  EXPECT_EQ(wait_for_end("after").back().name, "stream_chunk_complete");
}

// A chunk with more hits than the matcher keeps is still uploaded with the
// hits kept, and the scan says so at its end.
TEST_F(ScanJobTest, TruncatedHitsAreReportedAtTheEnd) {
  std::ofstream(image_, std::ios::binary) << std::string(2 * kMiB, '\0');
  start(request(
      "many", R"(,"chunk_size":2097152,"scan_config":{"generic_sig_defs":{"z":{"magic":"00"}}})"));
  std::vector<Event> ev = wait_for_end("many");
  ASSERT_FALSE(ev.empty());
  EXPECT_EQ(print(ev.back()),
            R"({"scan_id":"many","status":"complete","hits_truncated":true,"failed_chunks":[0]})");
  start(request("few"));
  EXPECT_EQ(print(wait_for_end("few").back()),
            R"({"scan_id":"few","status":"complete","failed_chunks":[0,1048576]})");
}

}  // namespace
}  // namespace halvex
