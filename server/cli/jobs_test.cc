// The `image` and `scan` commands against a real server process and an
// agent made of the agent's own link modules (WebSocket, authentication,
// dispatcher) whose imaging and scan handlers are scripted here: they upload
// through libcurl exactly the bodies the agent sends and report the events
// it reports. Checked: what the commands ask of the agent, their one-line
// result, a failed job's exit, and a resumed image after a failed job.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>

#include "core/json.h"
#include "server/uploads/upload_test_client.h"
#include "server/uploads/upload_test_support.h"
#include "tests/integration/agent_link.h"

namespace halvex::server {
namespace {

using namespace halvex::server::testing;
using halvex::testing::read_file;

// The scripted agent's state; handlers are process-wide, so is this.
std::mutex g_mu;
std::vector<std::string> g_requests;  // "event payload" as received
int g_fail_after_part = 0;            // the imaging job fails after this part (0: never)
std::string g_imaging_shortcut;       // "complete" or "busy": answer at once, upload nothing
std::string g_ca;
std::vector<std::thread> g_jobs;

void progress(int part, int last) {
  send_event("imaging_progress",
             json_parse(R"({"phase":"reading","part":)" + std::to_string(part) +
                        R"(,"total_parts":)" + std::to_string(last) + R"(,"progress":0})"));
}

// Uploads one part as the upload client does: asks which chunks are held,
// sends the others.
bool upload_part(Client& client, const std::string& base, const std::string& token,
                 const std::string& bytes, int part, int last, const std::string& existing) {
  std::vector<Chunk> chunks = part_chunks(bytes, part, last);
  Reply held =
      client.request("GET", base + "/upload_chunk_status?token=" + token +
                                "&batch_id=20250301120000&part_number=" + std::to_string(part));
  Json list = json_parse(held.body);
  for (Chunk& c : chunks) {
    bool skip = false;
    const cJSON* got = json_get(list.get(), "received_chunks");
    for (int i = 0; i < json_array_size(got); i++)
      skip |= json_number_value(json_array_item(got, i)) == c.index;
    if (skip) continue;
    c.batch = "20250301120000";
    c.existing_disk_id = existing;
    if (client.request("POST", base + "/upload_chunk?token=" + token, chunk_body(c), chunk_type())
            .status >= 400)
      return false;
  }
  return true;
}

void imaging_job(Json d) {
  if (g_imaging_shortcut == "busy") {
    send_event("imaging_progress",
               json_parse(R"j({"phase":"pipeline","status":"Job in progress (reconnected)",)j"
                          R"j("progress":-1})j"));
    return;
  }
  if (g_imaging_shortcut == "complete") {
    send_event("job_complete", json_parse(R"({"batch_id":"20250301120000","total_parts":1})"));
    return;
  }
  Client client(0, g_ca);
  std::string data = read_file(json_get_string(d.get(), "file_path"));
  const uint64_t part_size = static_cast<uint64_t>(json_get_number(d.get(), "part_size_mb")) * kMiB;
  const int first = json_get_int32(d.get(), "start_part_number", 1);
  const uint64_t offset =
      static_cast<uint64_t>(json_get_number(d.get(), "start_offset_gb") * 1073741824.0);
  const int parts = static_cast<int>((data.size() - offset + part_size - 1) / part_size);
  const int last = first + parts - 1;
  for (int i = 0; i < parts; i++) {
    progress(first + i, last);
    std::string bytes = data.substr(offset + i * part_size, part_size);
    if (!upload_part(client, json_get_string(d.get(), "server_url"),
                     json_get_string(d.get(), "token"), bytes, first + i, last,
                     json_get_string(d.get(), "existing_disk_id")) ||
        first + i == g_fail_after_part) {
      send_event("job_error",
                 json_parse(R"({"error":"Upload failed — check network connection"})"));
      return;
    }
  }
  send_event("job_complete", json_parse(R"({"batch_id":"20250301120000","total_parts":)" +
                                        std::to_string(parts) + "}"));
}

void scan_job(Json d) {
  Client client(0, g_ca);
  std::string scan_id = json_get_string(d.get(), "scan_id");
  Json tree = json_parse(
      R"({"directory_tree":{"fs_type":"fat32","entries":[{"name":"DCIM","path":"/DCIM",)"
      R"("size":0,"is_dir":true,"cluster":3},{"name":"A.MP4","path":"/DCIM/A.MP4","size":9,)"
      R"("is_dir":false,"cluster":4}]}})");
  json_add_string(tree.get(), "scan_id", scan_id);
  send_event("directory_tree", std::move(tree));
  std::string body =
      scan_body(scan_id, 0, 4096, R"({"ftyp_list":[512],"moov_dict":{},"image_sigs":[[0,"JPEG"]]})",
                R"([{"start":0,"end":4096,"size":4096}])", pattern(4096, 1));
  Reply r = client.request(
      "POST",
      json_get_string(d.get(), "server_url") +
          "/api/remote/scanned_chunk?token=" + json_get_string(d.get(), "upload_token"),
      body, scan_type());
  EXPECT_EQ(r.status, 200) << r.body;
  const std::string id = R"({"scan_id":")" + scan_id + "\",";
  send_event("stream_chunk_progress",
             json_parse(id + R"("offset":4096,"total_size":4096,"chunk_index":1})"));
  send_event("stream_chunk_complete", json_parse(id + R"("status":"complete"})"));
}

template <void (*Job)(Json)>
void on_job(const char* name, const cJSON* d) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_requests.push_back(std::string(name) + " " + json_print(d));
  g_jobs.emplace_back(Job, json_duplicate(d));
}

void on_upload_local_file(const cJSON* d) { on_job<imaging_job>("upload_local_file", d); }
void on_stream_disk_chunks(const cJSON* d) { on_job<scan_job>("stream_disk_chunks", d); }

class CliJobsTest : public halvex::testing::AgentLinkTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(start({"alice"}));
    g_ca = server_.ca_file();
    register_handler("upload_local_file", on_upload_local_file);
    register_handler("stream_disk_chunks", on_stream_disk_chunks);
    ASSERT_NO_FATAL_FAILURE(pair_with_approve("JQBS23"));
  }

  void TearDown() override {
    {
      std::lock_guard<std::mutex> lock(g_mu);
      for (std::thread& t : g_jobs) t.join();
      g_jobs.clear();
      g_requests.clear();
      g_fail_after_part = 0;
      g_imaging_shortcut.clear();
    }
    AgentLinkTest::TearDown();
  }

  // The payload of the agent's i-th request, if it was `event`.
  Json asked(size_t i, const std::string& event) {
    std::lock_guard<std::mutex> lock(g_mu);
    if (i >= g_requests.size() || g_requests[i].rfind(event + " ", 0) != 0) return nullptr;
    return json_parse(g_requests[i].substr(event.size() + 1));
  }
};

TEST_F(CliJobsTest, ImageOfAFileThenAResumeAfterAFailedJob) {
  const std::string file = agent_.file("disk.img");
  const std::string data = pattern(2 * kMiB, 1) + pattern(2 * kMiB, 2) + pattern(kMiB / 2, 3);
  std::ofstream(file, std::ios::binary) << data;
  const std::string machine = get_machine_id();

  g_fail_after_part = 1;
  std::string out;
  EXPECT_EQ(server_.run({"image", machine, "--file", file, "--part-size-mb", "2"}, "", &out), 1);
  EXPECT_EQ(out, "");
  EXPECT_NE(server_.last_output().find(
                "recovery-server: image: Upload failed — check network connection"),
            std::string::npos)
      << server_.last_output();
  Json first = asked(0, "upload_local_file");
  ASSERT_TRUE(first);
  EXPECT_EQ(json_get_string(first.get(), "file_path"), file);
  EXPECT_EQ(json_get_number(first.get(), "part_size_mb"), 2);
  EXPECT_EQ(json_get_string(first.get(), "server_url"),
            "https://localhost:" + std::to_string(server_.port()));
  EXPECT_EQ(json_get_string(first.get(), "token").size(), 64u);
  EXPECT_FALSE(json_has(first.get(), "existing_disk_id"));

  g_fail_after_part = 0;
  ASSERT_EQ(server_.run({"image", machine, "--file", file, "--start-part", "2", "--start-offset-gb",
                         "0.001953125"},
                        "", &out),
            0)
      << server_.last_output();
  Json resumed = asked(1, "upload_local_file");
  EXPECT_EQ(json_get_string(resumed.get(), "token"), json_get_string(first.get(), "token"));
  EXPECT_EQ(json_get_string(resumed.get(), "existing_disk_id"), "1");
  EXPECT_EQ(json_get_number(resumed.get(), "start_part_number"), 2);
  EXPECT_EQ(json_get_number(resumed.get(), "part_size_mb"), 2);  // the image's part size
  Json result = json_parse(out);
  ASSERT_TRUE(result) << out;
  EXPECT_EQ(json_get_string(result.get(), "batch_id"), "20250301120000");
  EXPECT_EQ(json_get_number(result.get(), "bytes"), static_cast<double>(data.size()));
  EXPECT_EQ(json_get_string(result.get(), "sha256"), sha256_hex(data));
  EXPECT_EQ(read_file(json_get_string(result.get(), "image")), data);
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);

  // Nothing left to resume.
  EXPECT_EQ(server_.run(
                {"image", machine, "--file", file, "--start-part", "2", "--start-offset-gb", "0"}),
            1);
  EXPECT_NE(server_.last_output().find("no unfinished image of " + machine), std::string::npos);
}

// Whatever the agent says, the command reports success only for a whole
// image, and never follows another job's events as its own.
TEST_F(CliJobsTest, NoSuccessWithoutTheImage) {
  const std::string file = agent_.file("disk.img");
  std::ofstream(file, std::ios::binary) << pattern(kMiB, 1);
  struct Case {
    const char* shortcut;
    const char* error;
  } cases[] = {
      {"complete", "recovery-server: image 1: the job completed but the image is receiving\n"},
      {"busy",
       "recovery-server: image: another imaging job is running on the machine (Job in progress "
       "(reconnected))\n"},
  };
  for (const Case& c : cases) {
    g_imaging_shortcut = c.shortcut;
    std::string out;
    EXPECT_EQ(server_.run({"image", get_machine_id(), "--file", file}, "", &out), 1) << c.shortcut;
    EXPECT_EQ(out, "");
    const std::string err = server_.last_output();
    EXPECT_EQ(err.substr(err.size() - std::min(err.size(), std::strlen(c.error))), c.error) << err;
  }
}

TEST_F(CliJobsTest, ScanPrintsWhatWasStored) {
  std::string out;
  ASSERT_EQ(server_.run({"scan", get_machine_id(), "--path", "/tmp/card.img", "--chunk-size",
                         "4096", "--config", R"({"sector_size":512})"},
                        "", &out),
            0)
      << server_.last_output();
  Json d = asked(0, "stream_disk_chunks");
  EXPECT_EQ(json_get_string(d.get(), "disk_path"), "/tmp/card.img");
  EXPECT_FALSE(json_has(d.get(), "disk_id"));
  EXPECT_EQ(json_get_number(d.get(), "chunk_size"), 4096);
  EXPECT_EQ(json_print(json_get(d.get(), "scan_config")), R"({"sector_size":512})");
  Json result = json_parse(out);
  ASSERT_TRUE(result) << out;
  EXPECT_EQ(json_get_string(result.get(), "scan_id"), "scan-1");
  EXPECT_EQ(json_get_number(result.get(), "chunks"), 1);
  EXPECT_EQ(json_print(json_get(result.get(), "hits")), R"({"JPEG":1,"ftyp":1})");
  EXPECT_EQ(json_get_number(result.get(), "tree_entries"), 2);
  std::string stored = json_get_string(result.get(), "stored");
  EXPECT_EQ(read_file(stored + "/chunks/00000000000000000000.regions.bin"), pattern(4096, 1));
}

TEST_F(CliJobsTest, UsageErrors) {
  const std::string m = get_machine_id();
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"image", m},
           {"image", m, "--disk", "0", "--file", "/x"},
           {"image", m, "--disk", "-1"},
           {"image", m, "--file", "/x", "--start-part", "2"},
           {"image", m, "--file", "/x", "--part-size-mb", "0"},
           {"scan", m},
           {"scan", m, "--path", "/x", "--config", "[1]"},
           {"scan", "bad id!", "--disk", "0"},
           {"scan", m, "--path", "/x", "--file", "/y"},  // an option of image
           {"scan", m, "--path", "/x", "--offline-grace", "0"},
       }) {
    EXPECT_EQ(server_.run(args), 2) << args[0] << " " << args.size();
  }
  std::lock_guard<std::mutex> lock(g_mu);
  EXPECT_TRUE(g_requests.empty());
}

}  // namespace
}  // namespace halvex::server
