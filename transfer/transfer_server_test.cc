// Downloads and installer fetches over real TLS: files from the real
// reference server, and replies it never sends (no Content-Length, a cut
// body, a stalled reply) from the scripted HTTPS test server.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <set>

#include "core/json.h"
#include "core/log.h"
#include "platform/tls.h"
#include "tests/integration/server_process.h"
#include "tests/support/event_recorder.h"
#include "tests/support/http_test_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_pki.h"
#include "transfer/download.h"
#include "transfer/download_testing.h"
#include "transfer/update.h"
#include "transfer/update_testing.h"

namespace halvex {
namespace {

namespace fs = std::filesystem;
using testing::EventRecorder;
using testing::HttpTestServer;
using testing::read_text_file;
using testing::write_file;

constexpr size_t kMiB = 1 << 20;

std::string random_bytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(gen());
  return s;
}

std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

HttpTestServer::Reply reply(int status, std::string body, std::string location = "") {
  HttpTestServer::Reply r;
  r.status = status;
  r.body = std::move(body);
  r.location = std::move(location);
  if (status == 200) r.content_type = "application/octet-stream";
  return r;
}

std::string downloading(int current, int total, const char* name, int file_progress, size_t bytes,
                        size_t size, int progress) {
  return "{\"current\":" + std::to_string(current) + ",\"total\":" + std::to_string(total) +
         ",\"filename\":\"" + name +
         "\",\"phase\":\"downloading\",\"file_progress\":" + std::to_string(file_progress) +
         ",\"bytes_downloaded\":" + std::to_string(bytes) +
         ",\"file_size\":" + std::to_string(size) + ",\"progress\":" + std::to_string(progress) +
         "}";
}

std::string failed(int current, int total, const char* name) {
  return "{\"current\":" + std::to_string(current) + ",\"total\":" + std::to_string(total) +
         ",\"filename\":\"" + name + "\",\"phase\":\"error\"}";
}

std::string update_error(const std::string& message) {
  return "update_status {\"status\":\"error\",\"message\":\"" + message + "\"}";
}

std::vector<std::string> errors_in(const std::vector<std::string>& progress) {
  std::vector<std::string> errors;
  for (const std::string& p : progress)
    if (p.find("\"phase\":\"error\"") != std::string::npos) errors.push_back(p);
  return errors;
}

// A failure's cause is the INFO line right after its ERROR line.
void expect_cause(const std::string& log, const std::string& error, const std::string& cause) {
  std::vector<std::string> lines = testing::read_lines(log);
  auto at = std::find_if(lines.begin(), lines.end(),
                         [&](const std::string& line) { return line.find(error) != line.npos; });
  std::string next = at != lines.end() && at + 1 != lines.end() ? at[1] : "";
  EXPECT_NE(next.find("INFO"), std::string::npos) << error << ": " << next;
  EXPECT_NE(next.find(cause), std::string::npos) << error << ": " << next;
}

// Both servers, and a CA bundle that trusts each of them.
class TransferServerTest : public testing::ServerTest {
 protected:
  void SetUp() override {
    download_clear_cancel_for_testing();
    ASSERT_TRUE(serve({}));
    files_ = server_.data() + "/files";
    fs::create_directory(files_);
    base_ = "https://localhost:" + std::to_string(server_.port());
    token_ = server_.file_token({"report.pdf", "notes.txt", "missing.bin", "data.bin", "big.bin",
                                 "small.bin", "n.txt", "p.txt", "missing.exe", "short.exe",
                                 "exact.exe", "setup.exe", "other.exe"});
    ASSERT_FALSE(token_.empty()) << server_.last_output();

    std::string error;
    std::optional<testing::TestPki> pki = testing::make_test_pki({"127.0.0.1"}, &error);
    ASSERT_TRUE(pki) << error;
    pki_ = *pki;
    scripted_ = std::make_unique<HttpTestServer>(pki_.cert_path, pki_.key_path);
    ASSERT_TRUE(scripted_->start(&error)) << error;
    std::string bundle = dir_.file("ca-bundle.pem");
    write_file(bundle, read_text_file(server_.ca_file()) + read_text_file(pki_.ca_cert_path));
    tls_set_ca_file(bundle);

    folder_ = dir_.file("downloads");
    fs::create_directory(folder_);
  }
  void TearDown() override {
    scripted_->stop();
    testing::remove_test_pki(pki_);
  }

  // `text` with the job token after each "/files/NAME" in it, as the
  // server's own commands send the URLs.
  std::string with_token(std::string text) const {
    for (size_t at = text.find("/files/"); at != std::string::npos;
         at = text.find("/files/", at + 1)) {
      size_t end = text.find_first_of("\"?", at);
      if (end == std::string::npos) end = text.size();
      text.insert(end, "?token=" + token_);
    }
    return text;
  }

  // Runs one job to its end on this thread.
  void run_job(const std::string& request) {
    Json d = json_parse(with_token(request));
    ASSERT_TRUE(d) << request;
    download_job(d.get(), base_, recorder_.sink());
  }
  std::string folder_json() { return "\"folder\":\"" + folder_ + "\""; }
  std::vector<std::string> targets() const {
    std::vector<std::string> out;
    for (const auto& r : scripted_->requests()) out.push_back(r.target);
    return out;
  }

  std::string files_, base_, folder_, token_;
  testing::TestPki pki_;
  std::unique_ptr<HttpTestServer> scripted_;
  EventRecorder recorder_;
};

TEST_F(TransferServerTest, DownloadsAreIdenticalAndNumberedBesideExistingFiles) {
  std::string report = random_bytes(2 * kMiB + kMiB / 2, 1);
  std::string notes = random_bytes(100, 2);
  write_file(files_ + "/report.pdf", report);
  write_file(files_ + "/notes.txt", notes);
  write_file(folder_ + "/report.pdf", "old one");
  write_file(folder_ + "/report (1).pdf", "older one");

  run_job("{" + folder_json() +
          ",\"files\":[{\"url\":\"/files/"
          "report.pdf\",\"filename\":\"report.pdf\",\"type\":\"doc\",\"id\":7},"
          "{\"url\":\"/files/notes.txt\",\"filename\":\"deep/path/notes.txt\",\"id\":\"x\"}]}");

  EXPECT_EQ(read_text_file(folder_ + "/report (2).pdf"), report);
  EXPECT_EQ(read_text_file(folder_ + "/report.pdf"), "old one");
  EXPECT_EQ(read_text_file(folder_ + "/report (1).pdf"), "older one");
  EXPECT_EQ(read_text_file(folder_ + "/notes.txt"), notes);
  EXPECT_EQ(names_in(folder_).size(), 4u);

  // One event per MiB written, the last piece when the body ends.
  std::vector<std::string> progress = recorder_.texts("download_progress");
  ASSERT_EQ(progress.size(), 4u);
  EXPECT_EQ(progress[0], downloading(1, 2, "report.pdf", 40, kMiB, 2621440, 20));
  EXPECT_EQ(progress[2], downloading(1, 2, "report.pdf", 100, 2621440, 2621440, 50));
  EXPECT_EQ(progress[3], downloading(2, 2, "notes.txt", 100, 100, 100, 100));
  // The summary names the file as asked, not as numbered; "id" only when a number.
  EXPECT_EQ(recorder_.texts("download_complete"),
            std::vector<std::string>{
                "{\"downloaded\":[{\"type\":\"doc\",\"id\":7,\"filename\":\"report.pdf\"},"
                "{\"filename\":\"notes.txt\"}],\"total\":2," +
                folder_json() + "}"});
}

TEST_F(TransferServerTest, FailedItemsLeaveNothingAndTheJobGoesOn) {
  write_file(files_ + "/data.bin", "payload");
  fs::create_directory(dir_.file("outside"));
  std::string log = dir_.file("service.log");
  log_open(log);
  run_job("{" + folder_json() +
          ",\"files\":["
          "{\"url\":\"/files/missing.bin\",\"filename\":\"missing.bin\"},"  // 404 from the server
          "{\"url\":\"/files/data.bin\",\"filename\":\"..\\\\..\\\\x\"},"
          "{\"url\":\"/files/data.bin\",\"filename\":\"a/../../b\"},"
          "{\"url\":\"/files/data.bin\",\"filename\":\"..\"},"
          "{\"filename\":\"no_url.bin\"},"
          "{\"url\":7,\"filename\":\"number_url.bin\"},"
          "{\"url\":\"/files/../server.key\",\"filename\":\"key.pem\"},"
          "{\"url\":\"/files/data.bin\"},"
          "{\"url\":\"/" +
          std::string(1100, 'x') + "\",\"filename\":\"long.bin\"}]}");
  log_close();

  EXPECT_EQ(names_in(folder_), (std::set<std::string>{"x", "b", "file_4", "file_8"}));
  EXPECT_EQ(read_text_file(folder_ + "/x"), "payload");
  EXPECT_TRUE(fs::is_empty(dir_.file("outside")));
  for (const char* stray : {"x", "b"}) EXPECT_FALSE(fs::exists(dir_.file(stray))) << stray;

  EXPECT_EQ(errors_in(recorder_.texts("download_progress")),
            (std::vector<std::string>{failed(1, 9, "missing.bin"), failed(5, 9, "no_url.bin"),
                                      failed(6, 9, "number_url.bin"), failed(7, 9, "key.pem"),
                                      failed(9, 9, "long.bin")}));
  EXPECT_EQ(recorder_.texts("download_complete"),
            std::vector<std::string>{
                "{\"downloaded\":[{\"filename\":\"x\"},{\"filename\":\"b\"},{\"filename\":"
                "\"file_4\"},{\"filename\":\"file_8\"}],\"total\":9," +
                folder_json() + "}"});
  expect_cause(log, "ERROR] download: failed for missing.bin", "download: cause: HTTP status 404");
  expect_cause(log, "ERROR] download: failed for no_url.bin",
               "download: cause: no \"url\" text in the item");
  expect_cause(log, "ERROR] download: failed for long.bin",
               "download: cause: URL longer than 1023 bytes");
}

TEST_F(TransferServerTest, BodiesWithoutLengthCutShortOrWithErrorStatus) {
  std::string body = random_bytes(2 * kMiB + 10, 3);
  HttpTestServer::Reply close_framed = reply(200, body);
  close_framed.framing = HttpTestServer::Reply::Framing::kClose;
  HttpTestServer::Reply chunked = close_framed;
  chunked.framing = HttpTestServer::Reply::Framing::kChunked;
  HttpTestServer::Reply cut = close_framed;
  cut.framing = HttpTestServer::Reply::Framing::kLength;
  cut.cut_after = kMiB + kMiB / 2;
  for (const auto& r :
       {close_framed, chunked, cut, reply(500, std::string(5000, 'E')), reply(302, "moved")})
    scripted_->push(r);

  std::string url = scripted_->url("/f");
  run_job("{" + folder_json() + ",\"server_url\":\"" + url + "\",\"files\":[" +
          "{\"url\":\"1\",\"filename\":\"close.bin\"},{\"url\":\"2\",\"filename\":\"chunked.bin\"},"
          "{\"url\":\"3\",\"filename\":\"cut.bin\"},{\"url\":\"4\",\"filename\":\"error.html\"},"
          "{\"url\":\"5\",\"filename\":\"moved.html\"}]}");

  EXPECT_EQ(names_in(folder_), (std::set<std::string>{"close.bin", "chunked.bin"}));
  EXPECT_EQ(read_text_file(folder_ + "/close.bin"), body);
  EXPECT_EQ(read_text_file(folder_ + "/chunked.bin"), body);
  EXPECT_EQ(targets(), (std::vector<std::string>{"/f1", "/f2", "/f3", "/f4", "/f5"}));

  // Without a Content-Length the size and the file's share stay 0 while the
  // byte count grows.
  std::vector<std::string> progress = recorder_.texts("download_progress");
  ASSERT_GE(progress.size(), 3u);
  EXPECT_EQ(progress[0], downloading(1, 5, "close.bin", 0, kMiB, 0, 0));
  EXPECT_EQ(progress[2], downloading(1, 5, "close.bin", 0, 2097162, 0, 0));
  EXPECT_EQ(errors_in(progress),
            (std::vector<std::string>{failed(3, 5, "cut.bin"), failed(4, 5, "error.html"),
                                      failed(5, 5, "moved.html")}));
}

TEST_F(TransferServerTest, CancelFailsTheCurrentFileAndStopsBeforeTheNext) {
  write_file(files_ + "/big.bin", random_bytes(4 * kMiB, 4));
  write_file(files_ + "/small.bin", "small");
  struct Case {
    const char* files;
    std::vector<std::string> tail;  // events after the first progress event
  };
  const Case cases[] = {
      {"[{\"url\":\"/files/big.bin\",\"filename\":\"big.bin\"},{\"url\":\"/files/small.bin\"}]",
       {"download_progress "
        "{\"current\":1,\"total\":2,\"filename\":\"big.bin\",\"phase\":\"error\"}",
        "download_progress {\"cancelled\":true,\"current\":2,\"total\":2}",
        "download_complete {\"downloaded\":[],\"total\":2,"}},
      // The last file: no "cancelled" event, as nothing is left to skip.
      {"[{\"url\":\"/files/big.bin\",\"filename\":\"big.bin\"}]",
       {"download_progress "
        "{\"current\":1,\"total\":1,\"filename\":\"big.bin\",\"phase\":\"error\"}",
        "download_complete {\"downloaded\":[],\"total\":1,"}},
  };
  proto_init();
  download_register_handlers(nullptr);
  for (const Case& c : cases) {
    download_clear_cancel_for_testing();
    EventRecorder recorder;
    EventSink record = recorder.sink();
    // The server's cancel arrives while the first piece is being reported;
    // the next piece sees it.
    EventSink cancel_on_progress = [&](const char* name, Json d) {
      const std::string cancel = R"({"e":"cancel_download"})";
      if (std::string(name) == "download_progress") proto_on_message(cancel.data(), cancel.size());
      record(name, std::move(d));
    };
    Json d = json_parse(with_token("{" + folder_json() + ",\"files\":" + c.files + "}"));
    download_job(d.get(), base_, cancel_on_progress);
    std::vector<std::string> events = recorder.lines();
    ASSERT_EQ(events.size(), 1 + c.tail.size()) << c.files;
    for (size_t i = 0; i < c.tail.size(); i++)
      EXPECT_EQ(events[i + 1].substr(0, c.tail[i].size()), c.tail[i]);
    EXPECT_TRUE(fs::is_empty(folder_));
  }
}

TEST_F(TransferServerTest, UnusableFolderOrEmptyList) {
  struct Case {
    std::string request;
    std::string event;
  };
  const Case cases[] = {
      {"{}", "download_error {\"error\":\"Invalid folder\"}"},
      {"{\"folder\":\"\"}", "download_error {\"error\":\"Invalid folder\"}"},
      {"{\"folder\":7,\"files\":[]}", "download_error {\"error\":\"Invalid folder\"}"},
      {"{\"folder\":\"" + dir_.file("nowhere") + "\"}",
       "download_error {\"error\":\"Invalid folder\"}"},
      {"{" + folder_json() + "}",
       "download_complete {\"downloaded\":[],\"total\":0," + folder_json() + "}"},
      {"{" + folder_json() + ",\"files\":{}}",
       "download_complete {\"downloaded\":[],\"total\":0," + folder_json() + "}"},
  };
  for (const Case& c : cases) {
    EventRecorder recorder;
    Json d = json_parse(c.request);
    download_job(d.get(), base_, recorder.sink());
    EXPECT_EQ(recorder.lines(), std::vector<std::string>{c.event}) << c.request;
  }
}

TEST_F(TransferServerTest, ExistingFilesAndPlantedLinksAreNeverReplaced) {
  write_file(files_ + "/n.txt", "new");
  write_file(files_ + "/p.txt", "new");
  write_file(folder_ + "/n.txt", "keep");
  for (int i = 1; i <= 998; i++) write_file(folder_ + "/n (" + std::to_string(i) + ").txt", "keep");
  // A link to a file outside the folder, and one pointing nowhere.
  write_file(dir_.file("target.txt"), "outside");
  fs::create_symlink(dir_.file("target.txt"), folder_ + "/p.txt");
  fs::create_symlink(dir_.file("nothing.txt"), folder_ + "/p (1).txt");

  run_job("{" + folder_json() +
          ",\"files\":[{\"url\":\"/files/n.txt\",\"filename\":\"n.txt\"},"
          "{\"url\":\"/files/p.txt\",\"filename\":\"p.txt\"}]}");

  EXPECT_EQ(read_text_file(folder_ + "/n.txt"), "keep");
  EXPECT_EQ(read_text_file(folder_ + "/n (998).txt"), "keep");
  EXPECT_FALSE(fs::exists(folder_ + "/n (999).txt"));
  EXPECT_EQ(read_text_file(dir_.file("target.txt")), "outside");
  EXPECT_FALSE(fs::exists(dir_.file("nothing.txt")));
  EXPECT_EQ(read_text_file(folder_ + "/p (2).txt"), "new");
  EXPECT_EQ(recorder_.texts("download_complete"),
            std::vector<std::string>{"{\"downloaded\":[{\"filename\":\"p.txt\"}],\"total\":2," +
                                     folder_json() + "}"});
}

TEST_F(TransferServerTest, RedirectsAreFollowedOnlyWhereTheTrustRuleAllows) {
  write_file(files_ + "/data.bin", "from the server");
  auto redirect = [](int status, std::string location) { return reply(status, "moved", location); };
  auto file = [](std::string body) { return reply(200, body); };
  scripted_->push(redirect(302, "/f1b"));  // relative, same private host
  scripted_->push(file("one"));
  scripted_->push(redirect(301, with_token(base_ + "/files/data.bin")));  // the server host
  scripted_->push(redirect(302, "https://evil.example/x"));
  scripted_->push(redirect(307, scripted_->url("/f4b").replace(0, 5, "http")));  // https -> http
  for (int i = 0; i < 5; i++) scripted_->push(redirect(308, "/f5"));
  scripted_->push(file("five"));
  for (int i = 0; i < 6; i++) scripted_->push(redirect(303, "/f6"));
  std::string log = dir_.file("service.log");
  log_open(log);
  run_job("{" + folder_json() + ",\"server_url\":\"" + scripted_->url("/f") + "\",\"files\":[" +
          "{\"url\":\"1\",\"filename\":\"r1\"},{\"url\":\"2\",\"filename\":\"r2\"},"
          "{\"url\":\"3\",\"filename\":\"r3\"},{\"url\":\"4\",\"filename\":\"r4\"},"
          "{\"url\":\"5\",\"filename\":\"r5\"},{\"url\":\"6\",\"filename\":\"r6\"}]}");
  log_close();

  EXPECT_EQ(names_in(folder_), (std::set<std::string>{"r1", "r2", "r5"}));
  EXPECT_EQ(read_text_file(folder_ + "/r1"), "one");
  EXPECT_EQ(read_text_file(folder_ + "/r2"), "from the server");
  EXPECT_EQ(read_text_file(folder_ + "/r5"), "five");
  // Refused hops were never requested; the sixth redirect in a row was not
  // followed.
  std::vector<std::string> expected{"/f1", "/f1b", "/f2", "/f3", "/f4"};
  expected.insert(expected.end(), 6, "/f5");
  expected.insert(expected.end(), 6, "/f6");
  EXPECT_EQ(targets(), expected);
  expect_cause(log, "download: failed for r3",
               "download: cause: redirect to https://evil.example/x refused");
  expect_cause(log, "download: failed for r4", "download: cause: redirect to http://127.0.0.1:");
  expect_cause(log, "download: failed for r6", "download: cause: too many redirects");
}

class UpdateServerTest : public TransferServerTest {
 protected:
  // TMPDIR is set before any thread of the test starts.
  void SetUp() override {
    tmp_ = dir_.file("tmp");
    fs::create_directory(tmp_);
    ::setenv("TMPDIR", tmp_.c_str(), 1);
    TransferServerTest::SetUp();
  }
  void TearDown() override {
    update_set_shell_for_testing("/bin/sh");
    ::unsetenv("TMPDIR");
    TransferServerTest::TearDown();
  }

  // Sends one request and waits until `count` events have come.
  std::vector<std::string> update(const std::string& request, size_t count,
                                  EventRecorder* recorder) {
    Json d = json_parse(request);
    EXPECT_TRUE(d) << request;
    update_handle_request(d.get(), base_, recorder->sink());
    return recorder->wait_for(count);
  }
  std::string url(const std::string& name) { return with_token(base_ + "/files/" + name); }
  // The private folders of installer fetches still in the temporary folder
  // (the test PKI's folder lives there too).
  size_t update_folders() {
    size_t n = 0;
    for (const auto& e : fs::directory_iterator(tmp_))
      n += e.path().filename().string().rfind("halvex-update-", 0) == 0;
    return n;
  }

  std::string tmp_;
};

TEST_F(UpdateServerTest, RequestsRefusedBeforeAnyDownload) {
  struct Case {
    std::string request;
    std::string reply;
  };
  const std::string untrusted = update_error("Update URL not from trusted server"),
                    none = update_error("No download URL provided"),
                    too_long = update_error("Update URL too long"),
                    current = "update_status {\"status\":\"up_to_date\",\"version\":\"0.2.1\"}",
                    long_url = "{\"download_url\":\"https://localhost/" + std::string(493, 'a');
  const Case cases[] = {
      {"{}", none},
      {"{\"download_url\":\"\"}", none},
      {"{\"download_url\":5}", none},
      {"{\"download_url\":\"https://evil.example/setup.exe\"}", untrusted},
      {"{\"download_url\":\"http://localhost/setup.exe\"}", untrusted},
      {"{\"download_url\":\"localhost/setup.exe\"}", untrusted},
      {"{\"download_url\":\"https://LOCALHOST:1/x\",\"version\":\"0.2.1\"}", current},
      {"{\"download_url\":\"https://localhost/x\",\"version\":\"0.2.1\",\"force\":\"true\"}",
       current},
      // A URL of 511 bytes fits; one more byte and it is refused whole
      // rather than cut to another URL.
      {long_url + "\",\"version\":\"0.2.1\"}", current},
      {long_url + "a\",\"version\":\"0.3.0\"}", too_long},
      {long_url + "a\",\"version\":\"0.2.1\"}", too_long},
  };
  for (const Case& c : cases) {
    EventRecorder recorder;
    EXPECT_EQ(update(c.request, 1, &recorder), std::vector<std::string>{c.reply}) << c.request;
  }
  EXPECT_EQ(update_folders(), 0u);
}

TEST_F(UpdateServerTest, FailedFetchesLeaveNothingAndTheNextRequestRuns) {
  write_file(files_ + "/short.exe", std::string(999999, 'x'));
  write_file(files_ + "/exact.exe", std::string(1000000, 'x'));
  struct Case {
    std::string request;
    std::string outcome;
  };
  const Case cases[] = {
      {"{\"download_url\":\"" + url("missing.exe") + "\",\"version\":\"0.3.0\"}",
       update_error("Download failed")},
      {"{\"download_url\":\"" + url("short.exe") + "\",\"version\":\"0.3.0\"}",
       update_error("Downloaded file too small")},
      // Big enough, and version 0.2.1 goes ahead when forced; the hand-over
      // is made to fail here, so the agent runs on.
      {"{\"download_url\":\"" + url("exact.exe") + "\",\"version\":\"0.2.1\",\"force\":true}",
       update_error("Update hand-over failed")},
      // The installer comes from the URL that was checked: a redirect, even
      // to the server itself, is a failed download.
      {"{\"download_url\":\"" + scripted_->url("/setup.exe") + "\",\"version\":\"0.3.0\"}",
       update_error("Download failed")},
  };
  write_file(files_ + "/setup.exe", std::string(1000000, 'x'));
  scripted_->push(reply(302, "", url("setup.exe")));
  update_set_shell_for_testing("/nonexistent/sh");
  std::string log = dir_.file("service.log");
  log_open(log);
  for (const Case& c : cases) {
    EventRecorder recorder;
    std::vector<std::string> events = update(c.request, 2, &recorder);
    ASSERT_EQ(events.size(), 2u) << c.request;
    EXPECT_EQ(events[0].substr(0, 37), "update_status {\"status\":\"downloading\"");
    EXPECT_EQ(events[1], c.outcome);
    EXPECT_EQ(update_folders(), 0u) << c.request;
  }
  log_close();
  EXPECT_EQ(scripted_->requests().size(), 1u);
  expect_cause(log, "update: download failed", "update: cause: HTTP status 404");
}

TEST_F(UpdateServerTest, ASecondRequestWhileOneRunsIsRefused) {
  HttpTestServer::Reply stalled;  // answers only when the server stops
  stalled.delay_ms = 600000;
  scripted_->push(stalled);
  EventRecorder first, second;
  std::vector<std::string> started = update(
      "{\"download_url\":\"" + scripted_->url("/setup.exe") + "\",\"version\":\"1.0\"}", 1, &first);
  EXPECT_EQ(started, std::vector<std::string>{
                         "update_status {\"status\":\"downloading\",\"version\":\"1.0\"}"});
  EXPECT_EQ(update("{\"download_url\":\"" + url("other.exe") + "\"}", 1, &second),
            std::vector<std::string>{update_error("Update already in progress")});
  scripted_->stop();
  EXPECT_EQ(first.wait_for(2).back(), update_error("Download failed"));
}

}  // namespace
}  // namespace halvex
