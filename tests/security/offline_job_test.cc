// A job whose machine loses its link on the real recovery-server: the
// agent drops in the middle of the job and comes back without it. The
// operator's job command must say the machine went offline and exit
// non-zero once the grace period is over, not wait for ever.

#include <gtest/gtest.h>

#include "tests/security/linked_agent.h"
#include "tests/support/eventually.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using OfflineJobTest = testing::ServerTest;

TEST_F(OfflineJobTest, JobCommandsGiveUpOnAMachineThatDroppedItsLink) {
  ASSERT_TRUE(serve());
  struct Case {
    const char* machine;
    const char* code;               // its pairing code
    std::vector<std::string> args;  // after MACHINE
    const char* request;            // what the machine is asked
    const char* progress;           // its first sign of work
  } cases[] = {
      {"5ec0000e0c01",
       "DDDD22",
       {"scan", "--path", "/media/card"},
       "stream_disk_chunks",
       "stream_chunk_progress"},
      {"5ec0000e0c02",
       "DDDD23",
       {"thumbnails", "--path", "/media/card", "--videos", "[512]"},
       "generate_thumbnails",
       "thumbnail_progress"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    testing::AgentClient agent(c.machine);
    ASSERT_TRUE(testing::link_agent(server_, agent, c.code, "alice"));
    std::vector<std::string> argv = {RECOVERY_SERVER_BIN, c.args[0], c.machine};
    argv.insert(argv.end(), c.args.begin() + 1, c.args.end());
    argv.insert(argv.end(), {"--offline-grace", "3", "--data", server_.data()});
    testing::ChildProcess job(argv, dir_.path(), c.args[0]);
    std::string error;
    ASSERT_TRUE(job.start(&error)) << error;
    // Waiting for the request's echo on standard error first keeps a
    // command that ends at once from leaving the agent waiting for ever.
    ASSERT_TRUE(testing::eventually(
        [&] { return job.err().find("sent " + std::string(c.request)) != std::string::npos; }, 15s))
        << job.err();
    Json start = agent.next_event();
    ASSERT_EQ(json_get_string(start.get(), "e"), c.request);
    Json progress = json_object();
    json_add_string(progress.get(), "scan_id",
                    json_get_string(json_get(start.get(), "d"), "scan_id"));
    json_add_number(progress.get(), "chunk_index", 1);
    ASSERT_TRUE(agent.send(c.progress, std::move(progress)));

    // The link drops; the agent is back at once, but the job is gone.
    agent.close();
    auto dropped = Clock::now();
    testing::AgentClient back(agent.machine_id());
    back.use_key_of(agent);
    ASSERT_TRUE(back.connect(server_.port()));
    ASSERT_EQ(back.authenticate(), "auth_ok");

    std::optional<int> rc = job.wait(30s);
    ASSERT_TRUE(rc) << "the command still waits: " << job.err();
    double took = std::chrono::duration<double>(Clock::now() - dropped).count();
    EXPECT_EQ(*rc, 1) << job.err();
    EXPECT_NE(job.err().find("machine " + std::string(c.machine) + " went offline during the job"),
              std::string::npos)
        << job.err();
    EXPECT_GE(took, 2.5);  // the grace period was given
    EXPECT_LT(took, 15);
    EXPECT_EQ(job.out(), "");  // no result line
  }
}

}  // namespace
}  // namespace halvex
