// Imaging end to end: the agent images files to the real reference server
// over real TLS, driven by `recovery-server image` like an operator would,
// and the server's assembled image is compared with the source.

#include <gtest/gtest.h>

#include <string>

#include "core/json.h"
#include "server/uploads/upload_test_support.h"
#include "tests/e2e/agent_fixture.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;

using server::testing::kMiB;
using server::testing::pattern;
using server::testing::sha256_hex;

// Zero blocks, fill blocks, random blocks and a ragged end, so every block
// kind of the encoding crosses the wire.
std::string mixed_bytes() {
  std::string out(kMiB, '\0');
  out += std::string(kMiB, '\x7f');
  out += pattern(kMiB / 2, 7);
  out += std::string(kMiB / 2 + 3, '\0');
  out += pattern(kMiB + 1, 8);
  return out;
}

class ImagingE2ETest : public testing::AgentFixture {
 protected:
  std::string write_source(const std::string& name, const std::string& bytes) {
    testing::write_file(dir_.file(name), bytes);
    return dir_.file(name);
  }

  // Checks the command's result against the source bytes.
  void expect_image_of(const Json& result, const std::string& source) {
    ASSERT_NE(result, nullptr) << job_err_;
    EXPECT_EQ(json_get_string(result.get(), "sha256"), sha256_hex(source));
    EXPECT_EQ(json_get_number(result.get(), "bytes"), static_cast<double>(source.size()));
    std::string image = testing::read_file(json_get_string(result.get(), "image"));
    EXPECT_TRUE(image == source) << "image file differs from the source";
  }
};

// One image with every block kind of the encoding; the single-kind and
// one-byte sources are the unit tests' (imaging/hximg_test, imaging_job_test).
TEST_F(ImagingE2ETest, ImagesArriveBitForBit) {
  start_agent();
  pair();
  const std::string source = mixed_bytes();
  Json result;
  ASSERT_EQ(run_job("image", {"--file", write_source("mixed.img", source), "--part-size-mb", "1"},
                    &result),
            0)
      << job_err_ << log_text();
  expect_image_of(result, source);
  EXPECT_EQ(log_count("Upload FAILED"), 0u);
  EXPECT_GE(log_count(": hximg "),
            5u);  // every part (4 MiB and 4 bytes) was encoded before it was sent
  exit_agent();
}

TEST_F(ImagingE2ETest, UnreadableSectorsAreZeroFilledAndReported) {
  const std::string source = pattern(3 * kMiB, 2);
  // Two bad stretches: 1024 bytes in part 1, one sector in part 3.
  start_agent("", {"--read-faults", "4096:1024,2098176:1"});
  pair();
  Json result;
  ASSERT_EQ(
      run_job("image", {"--file", write_source("bad.img", source), "--part-size-mb", "1"}, &result),
      0)
      << job_err_;
  std::string expected = source;
  std::fill(expected.begin() + 4096, expected.begin() + 5120, '\0');
  std::fill(expected.begin() + 2098176, expected.begin() + 2098688, '\0');
  expect_image_of(result, expected);
  EXPECT_EQ(log_count("imaging: unreadable 1024 bytes at offset 4096"), 1u);
  EXPECT_EQ(log_count("imaging: unreadable 512 bytes at offset 2098176"), 1u);
  std::string stored;
  ASSERT_EQ(server_.run({"events", machine_id()}, "", &stored), 0) << server_.last_output();
  EXPECT_NE(
      stored.find(R"("unreadable_bytes":1536,"unreadable_ranges":[[4096,1024],[2098176,512]])"),
      std::string::npos)
      << stored;
  exit_agent();
}

TEST_F(ImagingE2ETest, ResumesAfterTheServerWasKilled) {
  // The device drops out once, as part 3 is read: parts 1 and 2 reach the
  // server, the run ends with a read error, and the server then dies.
  const std::string source = pattern(5 * kMiB + 17, 3);
  start_agent("", {"--read-faults", std::to_string(2 * kMiB) + ":1:19:1"});
  pair();
  Json result;
  EXPECT_NE(run_job("image", {"--file", write_source("disk.img", source), "--part-size-mb", "1"},
                    &result),
            0);
  EXPECT_NE(job_err_.find("Read error at offset 2097152"), std::string::npos) << job_err_;
  ASSERT_TRUE(wait_for_log("Upload OK part 2", 10s)) << log_text();
  EXPECT_EQ(log_count("imaging: complete!"), 0u);

  std::string listen = "127.0.0.1:" + port_;
  server_.kill();
  size_t from = log_text().size();
  start_server(listen);
  ASSERT_TRUE(wait_for_log("auth: authenticated as demo", 30s)) << log_text().substr(from);

  // Part 2 again from its start: the server holds all of it, so nothing of
  // it is sent twice; parts 3 to 6 follow.
  ASSERT_EQ(run_job("image",
                    {"--file", dir_.file("disk.img"), "--part-size-mb", "1", "--start-part", "2",
                     "--start-offset-gb", "0.0009765625"},
                    &result),
            0)
      << job_err_ << log_text().substr(from);
  expect_image_of(result, source);
  EXPECT_EQ(log_count("upload: resume \u2014 1/1 chunks already on server, skipping", from), 1u)
      << log_text().substr(from);
  EXPECT_EQ(log_count("  Uploading part ", from), 5u);
  exit_agent();
}

// One refusal through the whole chain; the table of refused numbers and
// sources is imaging/imaging_job_test's.
TEST_F(ImagingE2ETest, RequestTheJobCannotServeIsRefused) {
  start_agent();
  pair();
  std::string source = write_source("small.img", std::string(kMiB, 'a'));
  std::string request = R"({"file_path":")" + source + R"(","token":"t","part_size_mb":0})";
  ASSERT_EQ(server_.run({"send", machine_id(), "upload_local_file", request}), 0)
      << server_.last_output();
  EXPECT_TRUE(wait_for_log("imaging: Invalid part_size_mb: must be 1 to 4095", 10s)) << log_text();
  EXPECT_EQ(log_count("imaging: job started"), 0u);
  exit_agent();
}

}  // namespace
}  // namespace halvex
