// The imaging job in process: request checks and upload names as tables,
// and the whole pipeline against a scriptable HTTPS server, where the
// timing of replies can hold the uploader back. The job's events go over a
// real WebSocket to a loopback server, where the tests read them.

#include "imaging/imaging_job.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/json.h"
#include "core/log.h"
#include "core/thread_testing.h"
#include "disk/disk_reader.h"
#include "imaging/imaging_job_testing.h"
#include "imaging/part_buffer.h"
#include "platform/block_file_testing.h"
#include "tests/support/child_process.h"
#include "tests/support/event_link.h"
#include "tests/support/eventually.h"
#include "tests/support/http_test_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_pki.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::HttpTestServer;
using testing::TempDir;

TEST(ImagingRequestTest, UploadNames) {
  struct Case {
    std::string request;
    std::string name;
  };
  const std::vector<Case> cases = {
      {R"j({"disk_id":2,"disk_name":"My Disk #2 (USB)"})j", "My_Disk_2_USB"},
      {R"j({"disk_id":3,"disk_name":"#/()\u00e9"})j", "Disk_3"},
      {R"j({"disk_name":""})j", "Disk_-1"},
      {R"j({"file_path":"C:\\backups\\backup.img"})j", "backup.img"},
      {R"j({"file_path":"C:\\backups\\backup.img","disk_name":"Lab copy"})j", "Lab_copy"},
      {R"j({"file_path":"/srv/images/card.img"})j", "card.img"},
      {R"j({"file_path":"card image.img"})j", "card image.img"},
      {R"j({"disk_name":"a-b.c_d\u0001\u00ff/e"})j", "a-b.c_de"},
      {R"({"disk_name":")" + std::string(200, 'n') + "\"}", std::string(127, 'n')},
  };
  for (const Case& c : cases) {
    Json request = json_parse(c.request);
    ASSERT_NE(request, nullptr) << c.request;
    EXPECT_EQ(imaging_upload_name(request.get(), json_get_int32(request.get(), "disk_id", -1),
                                  json_get_string(request.get(), "file_path")),
              c.name)
        << c.request;
  }
}

TEST(ImagingRequestTest, NumbersAndUrls) {
  struct Good {
    const char* request;
    int part_size_mb, start_part_number;
    uint64_t start_offset, size_limit;
    const char* base_url;
  };
  const Good good[] = {
      {R"({"token":"t"})", 500, 1, 0, 0, "https://default"},
      {R"({"part_size_mb":64.9,"start_part_number":3,"start_offset_gb":0.9765625,
           "image_size_gb":0.5,"server_url":"https://s","direct_url":"https://d"})",
       64, 3, 1048576000, 536870912, "https://d"},
      {R"({"server_url":"https://s"})", 500, 1, 0, 0, "https://s"},
  };
  std::string error;
  for (const Good& g : good) {
    SCOPED_TRACE(g.request);
    Json request = json_parse(g.request);
    std::optional<ImagingRequest> r =
        imaging_parse_request(request.get(), "https://default", &error);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->part_size_mb, g.part_size_mb);
    EXPECT_EQ(r->start_part_number, g.start_part_number);
    EXPECT_EQ(r->start_offset, g.start_offset);
    EXPECT_EQ(r->size_limit, g.size_limit);
    EXPECT_EQ(r->base_url, g.base_url);
  }

  struct Bad {
    const char* request;
    const char* error;
  };
  const std::vector<Bad> bad = {
      {R"({"part_size_mb":0})", "Invalid part_size_mb: must be 1 to 4095"},
      {R"({"part_size_mb":4096})", "Invalid part_size_mb: must be 1 to 4095"},
      {R"({"part_size_mb":-5})", "Invalid part_size_mb: must be 1 to 4095"},
      {R"({"part_size_mb":"64"})", "Invalid part_size_mb: must be 1 to 4095"},
      {R"({"start_offset_gb":-0.5})", "Invalid start_offset_gb: must be a number of 0 or more"},
      {R"({"image_size_gb":-1})", "Invalid image_size_gb: must be a number of 0 or more"},
      {R"({"start_offset_gb":1e300})", "Invalid start_offset_gb: must be a number of 0 or more"},
      {R"({"start_part_number":0})", "Invalid start_part_number: must be 1 or more"},
  };
  for (const Bad& b : bad) {
    Json request = json_parse(b.request);
    error.clear();
    EXPECT_FALSE(imaging_parse_request(request.get(), "https://default", &error)) << b.request;
    EXPECT_EQ(error, b.error) << b.request;
  }
}

// The pipeline against a scriptable server: the chunk status query and the
// chunk posts all land there.
class ImagingPipelineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Jobs start and stop as the server's events do, through the dispatcher.
    proto_init();
    imaging_register_handlers(nullptr);
    std::string error;
    auto pki = testing::make_test_pki({"127.0.0.1", "localhost"}, &error);
    ASSERT_TRUE(pki) << error;
    pki_ = *pki;
    ASSERT_TRUE(link_.start(pki_, &error)) << error;
    server_ = std::make_unique<HttpTestServer>(pki_.cert_path, pki_.key_path);
    ASSERT_TRUE(server_->start(&error)) << error;
    log_path_ = dir_.file("service.log");
    log_open(log_path_);
  }
  void TearDown() override {
    wait_idle();
    imaging_shutdown();  // joins the last job's thread
    log_close();
    server_.reset();
    testing::remove_test_pki(pki_);
  }

  std::string write_source(uint64_t size) {
    std::string path = dir_.file("source" + std::to_string(++sources_) + ".img");
    std::mt19937 rng(static_cast<uint32_t>(size));
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(rng());
    testing::write_file(path, bytes);
    return path;
  }

  // The events that end a job or report its failure ("job_error",
  // "job_complete", the cancel progress) from event `from` on, once `count`
  // of them have arrived (or 10 s passed).
  std::vector<std::string> job_ends(size_t from, size_t count = 1) {
    eventually([&] { return job_ends_now(from).size() >= count; }, 10s);
    std::this_thread::sleep_for(100ms);  // nothing more may follow
    return job_ends_now(from);
  }
  std::vector<std::string> job_ends_now(size_t from) {
    std::vector<std::string> out;
    for (const testing::EventLink::Event& e : link_.events(from))
      if (e.name == "job_error" || e.name == "job_complete" || json_has(e.d.get(), "cancelled"))
        out.push_back(e.name + " " + json_print(e.d.get()));
    return out;
  }

  void start(const std::string& path, int part_size_mb, const std::string& name = "",
             double start_offset_gb = 0, const char* event = "upload_local_file") {
    Json d = json_object();
    json_add_string(d.get(), "file_path", path);
    json_add_number(d.get(), "part_size_mb", part_size_mb);
    if (start_offset_gb > 0) json_add_number(d.get(), "start_offset_gb", start_offset_gb);
    json_add_string(d.get(), "token", "tok");
    json_add_string(d.get(), "server_url", server_->url());
    if (!name.empty()) json_add_string(d.get(), "disk_name", name);
    dispatch("{\"e\":\"" + std::string(event) + "\",\"d\":" + json_print(d.get()) + "}");
  }
  static void cancel() { dispatch(R"({"e":"cancel_job"})"); }
  static void dispatch(const std::string& message) {
    proto_on_message(message.data(), message.size());
  }

  static bool wait_idle() { return eventually(imaging_testing_idle, 60s, 20ms); }

  std::string log_text() { return testing::read_text_file(log_path_); }
  size_t log_count(const std::string& text) {
    std::string log = log_text();
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) n++;
    return n;
  }

  // The chunk posts received, as (batch id, part number) in arrival order.
  std::vector<std::pair<std::string, int>> chunk_posts() {
    std::vector<std::pair<std::string, int>> out;
    for (const HttpTestServer::Request& r : server_->requests()) {
      if (r.method != "POST") continue;
      out.emplace_back(form_field(r.body, "batch_id"),
                       std::stoi(form_field(r.body, "part_number")));
    }
    return out;
  }
  static std::string form_field(const std::string& body, const std::string& name) {
    std::string key = "name=\"" + name + "\"\r\n\r\n";
    size_t at = body.find(key);
    if (at == std::string::npos) return "";
    at += key.size();
    return body.substr(at, body.find("\r\n", at) - at);
  }

  TempDir dir_;
  testing::TestPki pki_;
  testing::EventLink link_;
  std::unique_ptr<HttpTestServer> server_;
  std::string log_path_;
  int sources_ = 0;
};

TEST_F(ImagingPipelineTest, SendsEveryPartEncodedUnderItsName) {
  start(write_source(3 * 1048576 + 5), 1, "Card #1", 0, "start_imaging");
  ASSERT_TRUE(wait_idle());
  std::vector<std::pair<std::string, int>> posts = chunk_posts();
  ASSERT_EQ(posts.size(), 4u);
  for (int i = 0; i < 4; i++) EXPECT_EQ(posts[static_cast<size_t>(i)].second, i + 1);
  EXPECT_EQ(posts[0].first.size(), 14u);
  for (const HttpTestServer::Request& r : server_->requests()) {
    if (r.method != "POST") continue;
    EXPECT_EQ(form_field(r.body, "total_parts"), "4");
    EXPECT_EQ(form_field(r.body, "compressed"), "hximg");
    EXPECT_EQ(form_field(r.body, "disk_name"), "Card_1");
    std::string part = form_field(r.body, "part_number");
    EXPECT_EQ(form_field(r.body, "original_size"), part == "4" ? "5" : "1048576");
    EXPECT_EQ(form_field(r.body, "filename"), "Card_1.part00" + part + ".hximg");
  }
  EXPECT_EQ(log_count("imaging: 3.0 MB in 4 parts (part_size=1MB, HXIMG)"), 1u) << log_text();
  EXPECT_EQ(log_count("imaging: complete! 4 parts in "), 1u) << log_text();
}

// A sparse source: the parts in its hole go out as zero blocks although the
// recycled buffers they are read into hold other bytes.
TEST_F(ImagingPipelineTest, HolesGoOutAsZeroBlocksWhateverTheBufferHeld) {
  constexpr uint64_t kPart = 4 * 1048576;
  {
    std::vector<PartBuffer> stale;
    for (int i = 0; i < 2; i++) {
      stale.push_back(part_buffer_alloc(kPart));
      ASSERT_NE(stale.back(), nullptr);
      for (uint64_t at = 0; at < kPart; at++) stale.back()[at] = static_cast<uint8_t>(at * 7 + 1);
    }
  }  // both go back to the pool, and the job takes them
  const std::string path = write_source(kPart);
  ASSERT_EQ(::truncate(path.c_str(), 4 * kPart), 0);
  start(path, 4);
  ASSERT_TRUE(wait_idle());
  std::map<std::string, size_t> sizes;
  for (const HttpTestServer::Request& r : server_->requests()) {
    if (r.method == "POST") sizes[form_field(r.body, "part_number")] += r.body.size();
  }
  ASSERT_EQ(sizes.size(), 4u);
  EXPECT_GT(sizes["1"], kPart);
  // Four zero blocks encode to 80 bytes; the form around them is far less
  // than one raw block.
  for (const char* part : {"2", "3", "4"}) EXPECT_LT(sizes[part], 4096u) << part;
}

TEST_F(ImagingPipelineTest, RejectedTokenStopsTheJobWithoutCompletion) {
  server_->set_default(HttpTestServer::Reply::of(401, R"({"error":"bad token"})"));
  start(write_source(24 * 1048576), 1);
  ASSERT_TRUE(wait_idle());
  EXPECT_EQ(log_count("  Upload FAILED part 1: Chunk 0: HTTP 401: {\"error\":\"bad token\"}"), 1u)
      << log_text();
  EXPECT_EQ(log_count("imaging: upload error: Chunk 0: HTTP 401"), 1u) << log_text();
  EXPECT_EQ(log_count("imaging: complete!"), 0u);
  // Nothing after the first refusal: no retry, no further part.
  EXPECT_EQ(chunk_posts().size(), 1u);
}

TEST_F(ImagingPipelineTest, CancelWithFullQueuesEndsEveryThreadAndTheNextJobWaits) {
  HttpTestServer::Reply slow;
  slow.delay_ms = 300;
  server_->set_default(slow);
  start(write_source(40 * 1048576), 1);
  // Give the reader and encoder time to fill both queues behind the slow
  // uploader.
  std::this_thread::sleep_for(1500ms);
  cancel();
  // A new start while the cancelled job winds down: it must neither revive
  // the old job nor run beside it.
  server_->set_default(HttpTestServer::Reply{});
  start(write_source(2 * 1048576), 1);
  ASSERT_TRUE(wait_idle()) << log_text();

  std::vector<std::pair<std::string, int>> posts = chunk_posts();
  ASSERT_FALSE(posts.empty());
  const std::string first_batch = posts.front().first;
  size_t first_count = 0;
  bool second_started = false;
  for (const auto& [batch, part] : posts) {
    if (batch == first_batch) {
      EXPECT_FALSE(second_started) << "the cancelled job posted after the new one began";
      first_count++;
    } else {
      second_started = true;
    }
  }
  EXPECT_LT(first_count, 40u);
  EXPECT_EQ(posts.size() - first_count, 2u);  // the second job, whole, under its own batch id
  EXPECT_EQ(log_count("imaging: cancelled by user"), 1u) << log_text();
  EXPECT_EQ(log_count("imaging: complete! 2 parts"), 1u) << log_text();
}

// Every way a job can fail for want of memory or of a thread, and a path
// too long to open as given, ends in one "job_error" and never in
// "job_complete" (a failed part buffer used to end the reading early and
// report the image with its parts missing as complete). The process lives
// on and the next job runs whole.
TEST_F(ImagingPipelineTest, FailuresEndInJobErrorWithoutCompletion) {
  const std::string source = write_source(3 * 1048576);
  // A path of 611 bytes whose first 511 name an existing file.
  std::string deep = dir_.file(std::string(200, 'a'));
  ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0);
  deep += "/" + std::string(200, 'b');
  ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0);
  deep += "/";
  const std::string cut = deep + std::string(511 - deep.size(), 'c');
  ASSERT_EQ(::rename(write_source(1048576).c_str(), cut.c_str()), 0);
  const std::string too_long = cut + std::string(100, 'c');
  const std::string one_mib = write_source(1048576);
  const std::string empty = write_source(0);
  struct Case {
    const char* name;
    std::function<void()> arm;
    std::string path;
    const char* error;
    double start_offset_gb = 0;
  };
  const std::vector<Case> cases = {
      {"part buffer", [] { imaging_testing_fail_part_alloc(2); }, source, "Out of memory"},
      {"job thread", [] { thread_testing_fail_next_body("imaging"); }, source, "Out of memory"},
      {"reader", [] { thread_testing_fail_next_body("imaging reader"); }, source, "Out of memory"},
      {"encoder", [] { thread_testing_fail_next_body("imaging encoder"); }, source,
       "Out of memory"},
      {"uploader", [] { thread_testing_fail_next_body("imaging uploader"); }, source,
       "Out of memory"},
      {"job start", [] { thread_testing_fail_next_start("imaging job"); }, source,
       "Cannot start thread"},
      {"encoder start", [] { thread_testing_fail_next_start("imaging encoder thread"); }, source,
       "Cannot start thread"},
      {"uploader start", [] { thread_testing_fail_next_start("imaging uploader thread"); }, source,
       "Cannot start thread"},
      {"path too long", [] {}, too_long, "File path too long"},
      {"missing file", [] {}, dir_.file("missing.img"), "File not found or empty."},
      {"empty file", [] {}, empty, "File not found or empty."},
      {"start at the end", [] {}, one_mib,
       "Start offset 1048576 is at or past the end of the source (1048576 bytes)", 1.0 / 1024},
  };
  for (const Case& c : cases) {
    size_t from = link_.events().size();
    c.arm();
    start(c.path, 1, "", c.start_offset_gb);
    ASSERT_TRUE(wait_idle()) << c.name;
    imaging_testing_fail_part_alloc(0);
    std::vector<std::string> ends = job_ends(from);
    ASSERT_EQ(ends.size(), 1u) << c.name << ": " << ::testing::PrintToString(ends);
    EXPECT_EQ(ends[0], std::string("job_error {\"error\":\"") + c.error + "\"}") << c.name;
  }
  size_t from = link_.events().size();
  start(source, 1);
  ASSERT_TRUE(wait_idle());
  std::vector<std::string> ends = job_ends(from);
  ASSERT_EQ(ends.size(), 1u) << ::testing::PrintToString(ends);
  EXPECT_EQ(ends[0].rfind("job_complete ", 0), 0u) << ends[0];
}

// A card that fails in every fourth sector: the log lists the ranges the
// report keeps and no more.
TEST_F(ImagingPipelineTest, UnreadableRangesAreLoggedUpToTheReportsCap) {
  std::vector<BlockFault> faults;
  for (uint64_t i = 0; i < kMaxUnreadableRanges + 5; i++) faults.push_back({"", i * 2048, 1});
  block_file_testing_set_faults(faults);
  start(write_source(3 * 1048576), 1);
  ASSERT_TRUE(wait_idle());
  block_file_testing_set_faults({});
  EXPECT_EQ(log_count("imaging: unreadable 512 bytes"), kMaxUnreadableRanges);
  EXPECT_EQ(log_count("imaging: more unreadable ranges follow"), 1u);
  EXPECT_EQ(log_count("imaging: complete! 3 parts"), 1u) << log_text();
}

// Reading outruns a slow uploader: the cancel comes once every part is read,
// and still ends the job with its cancel progress (it used to end silently
// or with "Upload cancelled" as an error).
TEST_F(ImagingPipelineTest, CancelAfterTheLastReadIsReported) {
  HttpTestServer::Reply slow;
  slow.delay_ms = 300;
  server_->set_default(slow);
  size_t from = link_.events().size();
  start(write_source(4 * 1048576), 1);
  eventually([&] { return log_count("imaging: all parts read") > 0; }, 5s);
  cancel();
  ASSERT_TRUE(wait_idle()) << log_text();
  EXPECT_EQ(job_ends(from), std::vector<std::string>{"imaging_progress {\"cancelled\":true}"});
  EXPECT_LT(chunk_posts().size(), 4u);
}

// A job cancelled while it waits for a cancelled one to wind down never
// runs: it sends its cancel progress and nothing else (it used to run its
// set-up after the wait and report that its file was missing).
TEST_F(ImagingPipelineTest, JobCancelledWhileQueuedSendsOnlyItsCancel) {
  HttpTestServer::Reply slow;
  slow.delay_ms = 300;
  server_->set_default(slow);
  start(write_source(16 * 1048576), 1);
  std::this_thread::sleep_for(1000ms);
  size_t from = link_.events().size();
  cancel();
  start(dir_.file("missing.img"), 1);  // waits behind the first job
  cancel();
  ASSERT_TRUE(wait_idle()) << log_text();
  // The first job's upload in flight stops too, and is no error.
  const std::string cancelled = "imaging_progress {\"cancelled\":true}";
  EXPECT_EQ(job_ends(from, 2), std::vector<std::string>(2, cancelled));
  EXPECT_EQ(log_count("imaging: cancelled by user"), 2u) << log_text();
  EXPECT_EQ(log_count("missing.img"), 0u) << log_text();
}

}  // namespace
}  // namespace halvex
