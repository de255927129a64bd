// A job whose machine loses its link on the real recovery-server: the
// agent drops in the middle of a scan and comes back without the job. The
// operator's `scan` must say the machine went offline and exit non-zero
// once the grace period is over, not wait for ever.

#include <gtest/gtest.h>

#include "platform/tls.h"
#include "tests/integration/server_process.h"
#include "tests/security/agent_client.h"
#include "tests/security/linked_agent.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(OfflineJobTest, ScanGivesUpOnAMachineThatDroppedItsLink) {
  ASSERT_GE(sodium_init(), 0);
  testing::TempDir dir;
  testing::ServerProcess server(dir.path());
  ASSERT_TRUE(server.init({"alice"}));
  ASSERT_TRUE(server.start());
  tls_set_ca_file(server.ca_file());
  testing::AgentClient agent("5ec0000e0c01");
  ASSERT_TRUE(testing::link_agent(server, agent, "DDDD22", "alice"));

  testing::ChildProcess scan({RECOVERY_SERVER_BIN, "scan", agent.machine_id(), "--path", "/media/card",
                              "--offline-grace", "3", "--data", server.data()},
                             dir.path(), "scan");
  std::string error;
  ASSERT_TRUE(scan.start(&error)) << error;
  Json start = agent.next_event();
  ASSERT_EQ(json_get_string(start.get(), "e"), "stream_disk_chunks");
  std::string scan_id = json_get_string(json_get(start.get(), "d"), "scan_id");
  Json progress = json_object();
  json_add_string(progress.get(), "scan_id", scan_id);
  json_add_number(progress.get(), "chunk_index", 1);
  ASSERT_TRUE(agent.send("stream_chunk_progress", std::move(progress)));

  // The link drops; the agent is back at once, but the job is gone.
  agent.close();
  auto dropped = Clock::now();
  testing::AgentClient back(agent.machine_id());
  back.use_key_of(agent);
  ASSERT_TRUE(back.connect(server.port()));
  ASSERT_EQ(back.authenticate(), "auth_ok");

  std::optional<int> rc = scan.wait(30s);
  ASSERT_TRUE(rc) << "scan still waits: " << scan.err();
  double took = std::chrono::duration<double>(Clock::now() - dropped).count();
  EXPECT_EQ(*rc, 1) << scan.err();
  EXPECT_NE(scan.err().find("machine 5ec0000e0c01 went offline during the job"), std::string::npos) << scan.err();
  EXPECT_GE(took, 2.5);  // the grace period was given
  EXPECT_LT(took, 15);
  EXPECT_EQ(scan.out(), "");  // no result line
}

}  // namespace
}  // namespace halvex
