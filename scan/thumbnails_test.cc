// Thumbnail runs over a real TLS WebSocket, uploading to a scripted HTTPS
// server; ffmpeg is a stand-in script (real ffmpeg: tests/e2e).

#include "scan/thumbnails.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>

#include "core/thread_testing.h"
#include "link/proto.h"
#include "platform/clock_testing.h"
#include "platform/files.h"
#include "scan/thumbnails_testing.h"
#include "tests/support/event_link.h"
#include "tests/support/http_test_server.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_pki.h"

namespace halvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::HttpTestServer;
using testing::TempDir;

const std::string kJpegStart = "\xFF\xD8\xFF\xE0";

using Event = testing::EventLink::Event;

struct StandInRun {
  std::string tag, pid, dir_mode, file_mode;
  std::vector<std::string> args;
};

class ThumbRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    proto_init();
    thumb_register_handlers(nullptr);
    std::string error;
    pki_ = *testing::make_test_pki({"localhost"}, &error);
    uploads_ = std::make_unique<HttpTestServer>(pki_.cert_path, pki_.key_path);
    ASSERT_TRUE(uploads_->start(&error)) << error;
    ASSERT_TRUE(link_.start(pki_, &error)) << error;
    // 15 s becomes 1.5 s; ffmpeg is only where each test puts it.
    clock_set_time_scale_for_testing(10);
    thumb_set_system_ffmpeg_for_testing({});
    thumb_forget_ffmpeg_for_testing();
    old_path_ = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", dir_.file("bin").c_str(), 1);
    beside_ = exe_dir() + "/ffmpeg";
    std::remove(beside_.c_str());
    image_ = dir_.file("disk.img");
  }
  void TearDown() override {
    std::remove(beside_.c_str());
    setenv("PATH", old_path_.c_str(), 1);
    clock_set_time_scale_for_testing(100);
    uploads_->stop();
    testing::remove_test_pki(pki_);
  }

  // A stand-in ffmpeg at `path` that logs its runs as `tag` and then acts on
  // the first line of its input: "size N" writes N bytes, a JPEG start and
  // zeros; "echo" writes a JPEG start and the input; "fail" writes 600 bytes
  // and exits with 1; "hang" sleeps until it is killed; "swap TARGET LINK"
  // points LINK at TARGET, then acts as "size 600". An empty input fails, as
  // with ffmpeg.
  void write_stand_in(const std::string& path, const std::string& tag) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << "#!/bin/sh\nPATH=/usr/bin:/bin\n"
                        << "echo \"" << tag
                        << " $$ $(stat -c %a \"$(dirname \"$5\")\") $(stat -c %a \"$5\") $*\" >> '"
                        << log_ << "'\n"
                        << R"(read -r mode arg < "$5" || exit 1
case "$mode" in
  size) { printf '\377\330\377\340'; head -c "$arg" /dev/zero; } | head -c "$arg" > "${12}" ;;
  echo) { printf '\377\330\377\340'; cat "$5"; } > "${12}" ;;
  fail) head -c 600 /dev/zero > "${12}"; exit 1 ;;
  hang) exec sleep 600 ;;
  swap) ln -sfn $arg; { printf '\377\330\377\340'; head -c 596 /dev/zero; } > "${12}" ;;
  *) exit 1 ;;
esac
)";
    fs::permissions(path, fs::perms(0755));
  }

  std::vector<StandInRun> stand_in_runs() {
    std::vector<StandInRun> runs;
    std::ifstream in(log_);
    for (std::string line; std::getline(in, line);) {
      std::istringstream words(line);
      StandInRun r;
      words >> r.tag >> r.pid >> r.dir_mode >> r.file_mode;
      for (std::string w; words >> w;) r.args.push_back(w);
      runs.push_back(std::move(r));
    }
    return runs;
  }

  // Places `text` at `offset` of the disk image.
  void put(uint64_t offset, const std::string& text) {
    if (disk_.size() < offset + text.size()) disk_.resize(offset + text.size(), '.');
    disk_.replace(offset, text.size(), text);
    std::ofstream(image_, std::ios::binary) << disk_;
  }

  // A video laid out as layout A at `offset`: the first line `line`, then
  // filler through the end of a moov box 1024 bytes in.
  std::string video_a(uint64_t offset, const std::string& line, const std::string& more = "") {
    put(offset,
        line + "\n" + std::string(1535 - line.size(), static_cast<char>('a' + offset % 26)));
    return "{\"ftyp_offset\":" + std::to_string(offset) +
           ",\"moov_offset\":" + std::to_string(offset + 1024) +
           ",\"moov_size\":512,\"mdat_offset\":" + std::to_string(offset + 64) + more + "}";
  }

  std::string upload_base() { return "https://localhost:" + std::to_string(uploads_->port()); }

  void start(const std::string& d) {
    ASSERT_TRUE(link_.server().send_text(R"({"e":"generate_thumbnails","d":)" + d + "}"));
  }

  std::string request(const std::string& scan_id, const std::string& videos) {
    return R"({"scan_id":")" + scan_id + R"(","disk_path":")" + image_ + R"(","direct_url":")" +
           upload_base() + R"(","upload_token":"tok","videos":[)" + videos + "]}";
  }

  // Every event of the run `scan_id` ("" matches a run without one), once
  // its "thumbnails_complete" arrived.
  std::vector<Event> wait_for_end(const std::string& scan_id) {
    return link_.wait_for_run("scan_id", scan_id, {"thumbnails_complete"});
  }
  // The run's last event as name and text.
  std::string last_event(const std::string& scan_id) {
    std::vector<Event> ev = wait_for_end(scan_id);
    return ev.empty() ? "" : ev.back().name + json_print(ev.back().d.get());
  }

  // A multipart text field's value, or "?" when the body lacks it.
  static std::string field(const HttpTestServer::Request& r, const std::string& name) {
    std::smatch m;
    std::regex re("Content-Disposition: form-data; name=\"" + name + "\"\r\n\r\n([^\r]*)\r\n");
    return std::regex_search(r.body, m, re) ? m[1].str() : "?";
  }
  static std::string thumbnail(const HttpTestServer::Request& r) {
    const std::string head = "filename=\"thumb.jpg\"\r\nContent-Type: image/jpeg\r\n\r\n";
    size_t at = r.body.find(head);
    size_t end = r.body.rfind("\r\n--");
    if (at == std::string::npos || end == std::string::npos || end < at) return "?";
    return r.body.substr(at + head.size(), end - at - head.size());
  }

  TempDir dir_;
  std::string image_, disk_, beside_, old_path_, log_ = dir_.file("stand-in.log");
  testing::TestPki pki_;
  std::unique_ptr<HttpTestServer> uploads_;
  testing::EventLink link_;
};

// Each way a video can fail yields no upload and the run goes on; the one
// video that works is uploaded exactly once, with its default index.
TEST_F(ThumbRunTest, FailedVideosAreSkippedAndTheRunGoesOn) {
  write_stand_in(beside_, "beside");
  uploads_->push({});  // the first upload is taken, the second refused
  uploads_->push(HttpTestServer::Reply::of(500, R"({"error":"disk full"})"));
  std::string no_mdat = std::regex_replace(
      video_a(32768, "size 600"), std::regex(R"("mdat_offset":\d+)"), R"("mdat_offset":0)");
  std::string videos = video_a(0, "hang") + "," + video_a(8192, "size 500") + "," +
                       video_a(16384, "size 501", R"(,"video_id":"v3")") + "," +
                       video_a(24576, "fail") + "," + no_mdat + "," +
                       video_a(40960, "size 5242881") + "," + video_a(49152, "size 600");
  start(request("s1", videos));
  std::vector<Event> ev = wait_for_end("s1");
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(json_print(ev[0].d.get()), R"({"scan_id":"s1","generated":1})");

  std::vector<HttpTestServer::Request> up = uploads_->requests();
  ASSERT_EQ(up.size(), 2u);
  EXPECT_EQ(up[0].target, "/api/remote/video_thumbnail?token=tok");
  std::smatch m;
  std::string type = up[0].header("Content-Type");
  ASSERT_TRUE(std::regex_match(
      type, m, std::regex("multipart/form-data; boundary=(----ThumbBoundary[0-9a-f]{12})")))
      << type;
  const std::string b = m[1];
  EXPECT_EQ(up[0].body,
            "--" + b + "\r\nContent-Disposition: form-data; name=\"scan_id\"\r\n\r\ns1\r\n--" + b +
                "\r\nContent-Disposition: form-data; name=\"video_id\"\r\n\r\nv3\r\n--" + b +
                "\r\nContent-Disposition: form-data; name=\"video_index\"\r\n\r\n3\r\n--" + b +
                "\r\nContent-Disposition: form-data; name=\"thumbnail\"; filename=\"thumb.jpg\"\r\n"
                "Content-Type: image/jpeg\r\n\r\n" +
                kJpegStart + std::string(497, '\0') + "\r\n--" + b + "--\r\n");
  EXPECT_EQ(field(up[1], "video_index"), "7");

  // ffmpeg ran for every video, the one without mdat on an empty file, with
  // its arguments unchanged, on files of a private folder that is gone now.
  std::vector<StandInRun> runs = stand_in_runs();
  ASSERT_EQ(runs.size(), 7u);
  const std::string dir = fs::path(runs[0].args[4]).parent_path().string();
  for (size_t i = 0; i < runs.size(); i++) {
    std::string stem = dir + "/hxs_thumb_" + std::to_string(i);
    EXPECT_EQ(runs[i].args,
              (std::vector<std::string>{"-y", "-ss", "0", "-i", stem + ".mp4", "-frames:v", "1",
                                        "-q:v", "5", "-vf", "scale=320:-2", stem + ".jpg"}));
    EXPECT_EQ(runs[i].dir_mode, "700");
    EXPECT_EQ(runs[i].file_mode, "600");
  }
  EXPECT_FALSE(fs::exists(dir));
  // The hung one was killed, not left behind.
  EXPECT_EQ(::kill(std::stoi(runs[0].pid), 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

// The assembled file holds exactly the pieces of each layout, read from an
// image named by "image_paths".
TEST_F(ThumbRunTest, LayoutsAreAssembledPieceByPiece) {
  write_stand_in(beside_, "beside");
  put(0, "echo\n" + std::string(70000, 'A'));
  put(100000,
      std::string(300000, 'D') + std::string(6000, 'M'));  // B: media data, then the moov box
  put(500000, "echo\n" + std::string(20000, 'F'));  // B: ftyp box; mdat header 10000 bytes on
  put(600000, "echo\n" + std::string(1000, 'E'));   // A, its moov box running past the end
  std::string d =
      R"({"disk_path":"","image_paths":[")" + image_ + R"("],"direct_url":")" + upload_base() +
      R"(","videos":[{"ftyp_offset":0,"moov_offset":50000,"moov_size":4000,"mdat_offset":40},
                  {"ftyp_offset":500000,"mdat_offset":510000,"moov_offset":400000,"moov_size":6000,
                   "video_data_size":250000},
                  {"ftyp_offset":600000,"moov_offset":600500,"moov_size":9000,"mdat_offset":600100}]})";
  start(d);
  std::vector<Event> ev = wait_for_end("");
  ASSERT_FALSE(ev.empty());
  EXPECT_EQ(json_print(ev.back().d.get()), R"({"generated":3})");
  std::vector<HttpTestServer::Request> up = uploads_->requests();
  ASSERT_EQ(up.size(), 3u);
  std::map<std::string, std::string> got;
  for (const HttpTestServer::Request& r : up) got[field(r, "video_index")] = thumbnail(r);
  EXPECT_EQ(got["1"], kJpegStart + disk_.substr(0, 54000));
  EXPECT_EQ(got["2"], kJpegStart + disk_.substr(500000, 4096) + disk_.substr(510000, 16) +
                          disk_.substr(150000, 250000) + disk_.substr(400000, 6000));
  EXPECT_EQ(got["3"], kJpegStart + disk_.substr(600000));
}

// 25 videos: progress after the 10th and the 20th, counting uploads.
TEST_F(ThumbRunTest, ProgressAfterEveryTenthVideo) {
  write_stand_in(beside_, "beside");
  std::string videos;
  for (int i = 0; i < 25; i++)
    videos += (i ? "," : "") + video_a(4096 * i, i == 4 ? "fail" : "size 600");
  start(request("p", videos));
  std::vector<Event> ev = wait_for_end("p");
  std::vector<std::string> got;
  for (const Event& e : ev) got.push_back(e.name + json_print(e.d.get()));
  EXPECT_EQ(got, (std::vector<std::string>{
                     R"(thumbnail_progress{"scan_id":"p","current":10,"total":25,"generated":9})",
                     R"(thumbnail_progress{"scan_id":"p","current":20,"total":25,"generated":19})",
                     R"(thumbnails_complete{"scan_id":"p","generated":24})"}));
  EXPECT_EQ(uploads_->requests().size(), 24u);
}

// Two runs at once, over videos at the same positions, each upload their
// own videos' thumbnails.
TEST_F(ThumbRunTest, TwoRunsAtOnceKeepTheirOwnFiles) {
  write_stand_in(beside_, "beside");
  std::string first, second;
  for (int i = 0; i < 12; i++) {
    first += (i ? "," : "") + video_a(4096 * i, "echo");
    second += (i ? "," : "") + video_a(65536 + 4096 * i, "echo");
  }
  start(request("r1", first));
  start(request("r2", second));
  EXPECT_EQ(last_event("r1"), R"(thumbnails_complete{"scan_id":"r1","generated":12})");
  EXPECT_EQ(last_event("r2"), R"(thumbnails_complete{"scan_id":"r2","generated":12})");
  std::vector<HttpTestServer::Request> up = uploads_->requests();
  ASSERT_EQ(up.size(), 24u);
  for (const HttpTestServer::Request& r : up) {
    uint64_t base = field(r, "scan_id") == "r1" ? 0 : 65536;
    uint64_t at = base + 4096 * (std::stoull(field(r, "video_index")) - 1);
    EXPECT_EQ(thumbnail(r), kJpegStart + disk_.substr(at, 1536))
        << field(r, "scan_id") << " " << field(r, "video_index");
  }
}

// ffmpeg is looked for beside the executable, on PATH, then in the system
// places; a path found once is kept while it exists. A privileged agent
// passes over a program that someone else could have put there.
TEST_F(ThumbRunTest, FfmpegSearchOrderAndRememberedPath) {
  const std::string on_path = dir_.file("bin/ffmpeg");
  const std::string system_place = dir_.file("sys/ffmpeg");
  thumb_set_system_ffmpeg_for_testing({dir_.file("nowhere/ffmpeg"), system_place});
  std::string video = video_a(0, "size 600");
  struct Step {
    const char* what;
    std::function<void()> change;
    const char* used;  // the tag of the stand-in that ran
  } steps[] = {
      {"only in a system place", [&] { write_stand_in(system_place, "system"); }, "system"},
      {"the remembered path wins", [&] { write_stand_in(on_path, "path"); }, "system"},
      {"remembered path gone: search again", [&] { std::remove(system_place.c_str()); }, "path"},
      {"beside the executable",
       [&] {
         thumb_forget_ffmpeg_for_testing();
         write_stand_in(beside_, "beside");
       },
       "beside"},
      {"writable by others",
       [&] {
         thumb_forget_ffmpeg_for_testing();
         fs::permissions(beside_, fs::perms(0777));
       },
       ::geteuid() == 0 ? "path" : "beside"},
      {"not owned by root",
       [&] {
         thumb_forget_ffmpeg_for_testing();
         fs::permissions(beside_, fs::perms(0755));
         EXPECT_EQ(::chown(beside_.c_str(), 65534, 65534), ::geteuid() == 0 ? 0 : -1);
       },
       ::geteuid() == 0 ? "path" : "beside"},
  };
  int n = 0;
  for (const Step& s : steps) {
    s.change();
    std::string id = "f" + std::to_string(++n);
    start(request(id, video));
    EXPECT_EQ(last_event(id), "thumbnails_complete{\"scan_id\":\"" + id + "\",\"generated\":1}")
        << s.what;
    std::vector<StandInRun> runs = stand_in_runs();
    ASSERT_EQ(runs.size(), static_cast<size_t>(n)) << s.what;
    EXPECT_EQ(runs.back().tag, s.used) << s.what;
  }
}

// A privileged agent opens the ffmpeg it checked once per run and starts
// every video's ffmpeg from that descriptor: a link on PATH that is swapped
// after the check (by the run's own first ffmpeg here) is not followed. On
// later runs the program must lie in folders only root can change.
TEST_F(ThumbRunTest, SwappedLinkOnPathNeverRuns) {
  if (::geteuid() != 0)
    GTEST_SKIP() << "needs root: only a privileged agent checks who owns ffmpeg";
  const std::string open_dir = dir_.file("bin");  // on PATH
  const std::string link = open_dir + "/ffmpeg";
  const std::string evil = open_dir + "/evil";
  write_stand_in(dir_.file("safe/ffmpeg"), "safe");
  write_stand_in(evil, "evil");
  fs::permissions(open_dir, fs::perms(0777));  // root's, but anyone may write
  fs::create_symlink(dir_.file("safe/ffmpeg"), link);
  struct Step {
    const char* what;
    std::function<void()> change;
    std::string videos;
    std::vector<std::string> ran;  // tags of the stand-ins that ran, in order
  } steps[] = {
      {"swapped during the run",
       [] {},
       video_a(0, "swap " + evil + " " + link) + "," + video_a(4096, "size 600"),
       {"safe", "safe"}},
      {"the link now leads into a folder anyone may write", [] {}, video_a(8192, "size 600"), {}},
      {"a root-owned program in that folder",
       [&] {
         fs::remove(link);
         write_stand_in(link, "open");
       },
       video_a(8192, "size 600"),
       {}},
      {"the folder is sticky: only root may replace root's file",
       [&] { fs::permissions(open_dir, fs::perms(01777)); },
       video_a(8192, "size 600"),
       {"open"}},
  };
  int n = 0;
  size_t runs_before = 0;
  for (const Step& s : steps) {
    s.change();
    std::string id = "w" + std::to_string(++n);
    start(request(id, s.videos));
    std::string done = json_print(wait_for_end(id).back().d.get());
    std::vector<StandInRun> runs = stand_in_runs();
    ASSERT_GE(runs.size(), runs_before) << s.what;
    std::vector<std::string> ran;
    for (size_t i = runs_before; i < runs.size(); i++) ran.push_back(runs[i].tag);
    runs_before = runs.size();
    EXPECT_EQ(ran, s.ran) << s.what;
    EXPECT_EQ(done, s.ran.empty() ? "{\"scan_id\":\"" + id +
                                        "\",\"generated\":0,\"error\":\"ffmpeg not found\"}"
                                  : "{\"scan_id\":\"" + id +
                                        "\",\"generated\":" + std::to_string(s.ran.size()) + "}")
        << s.what;
  }
}

// Runs that end before any video is rendered, and what they report. An
// upload URL over 511 characters used to be cut and the thumbnails sent to
// the cut URL; a run out of memory or without a thread used to end the
// process.
TEST_F(ThumbRunTest, RunsThatEndAtOnce) {
  std::string video = video_a(0, "size 600");
  std::string url = R"(,"direct_url":")" + upload_base() + "\"";
  std::string long_token = R"(,"upload_token":")" + std::string(600, 't') + "\"";
  struct Case {
    bool ffmpeg;
    std::string d;
    const char* complete;
    void (*inject)(const char*) = nullptr;
  } cases[] = {
      {false, R"({"scan_id":"e1","videos":[]})", R"({"scan_id":"e1","generated":0})"},
      {false, R"({"scan_id":"e2"})", R"({"scan_id":"e2","generated":0})"},
      {false, request("e3", video), R"({"scan_id":"e3","generated":0,"error":"ffmpeg not found"})"},
      {true,
       R"({"scan_id":"e4","disk_path":")" + dir_.file("missing.img") + "\"" + url +
           ",\"videos\":[" + video + "]}",
       R"({"scan_id":"e4","generated":0,"error":"Cannot open disk"})"},
      {true, R"({"scan_id":"e5","image_paths":[5],"videos":[)" + video + "]}",
       R"({"scan_id":"e5","generated":0,"error":"Cannot open disk"})"},
      {true, R"({"scan_id":"e6","disk_path":"\\\\.\\PHYSICALDRIVE999","videos":[)" + video + "]}",
       R"({"scan_id":"e6","generated":0,"error":"Cannot open disk"})"},
      {true,
       R"({"scan_id":"e7","disk_path":")" + image_ + "\"" + url + long_token + ",\"videos\":[" +
           video + "]}",
       R"({"scan_id":"e7","generated":0,"error":"Upload URL too long"})"},
      {true, request("e8", video), R"({"scan_id":"e8","generated":0,"error":"Out of memory"})",
       thread_testing_fail_next_body},
      {true, request("e9", video),
       R"({"scan_id":"e9","generated":0,"error":"Cannot start thread"})",
       thread_testing_fail_next_start},
  };
  for (const Case& c : cases) {
    if (c.ffmpeg) write_stand_in(beside_, "beside");
    if (c.inject != nullptr) c.inject("thumb");
    start(c.d);
    std::string id = json_get_string(json_parse(c.d).get(), "scan_id");
    std::vector<Event> ev = wait_for_end(id);
    ASSERT_EQ(ev.size(), 1u) << c.d;
    EXPECT_EQ(json_print(ev[0].d.get()), c.complete);
  }
  EXPECT_TRUE(stand_in_runs().empty());
  EXPECT_TRUE(uploads_->requests().empty());
}

}  // namespace
}  // namespace halvex
