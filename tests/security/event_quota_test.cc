// A machine that reports far more than the server should keep: the real
// recovery-server keeps the machine's stored events under its quota (the
// oldest large reports go first, small progress events stay) and answers
// the events API in pages that keep to their byte budget, so neither the
// server nor the operator's tools hold everything at once.

#include <gtest/gtest.h>

#include <fstream>

#include "platform/tls.h"
#include "server/net.h"
#include "tests/integration/server_process.h"
#include "tests/security/agent_client.h"
#include "tests/security/linked_agent.h"
#include "tests/security/security_util.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

// The server's peak memory while it stores and pages the reports. Under
// AddressSanitizer its quarantine and redzones add a few hundred MB that
// say nothing about the server.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kPeakBoundKb = 1024 * 1024;
#else
constexpr long kPeakBoundKb = 256 * 1024;
#endif

using namespace std::chrono_literals;

constexpr size_t kReport = 4u << 20;   // one large report
constexpr int kReports = 12;           // 48 MiB in all
constexpr uint64_t kQuota = 16u << 20;  // serve --event-quota-mb 16
constexpr uint64_t kBudget = 6u << 20;  // bytes asked per page

TEST(EventQuotaTest, StorageAndPagesStayBounded) {
  ASSERT_GE(sodium_init(), 0);
  testing::TempDir dir;
  testing::ServerProcess server(dir.path());
  ASSERT_TRUE(server.init({"alice"}));
  ASSERT_TRUE(server.start("127.0.0.1:0", {"--event-quota-mb", "16"}));
  tls_set_ca_file(server.ca_file());
  testing::AgentClient agent("5ec0000e0a01");
  ASSERT_TRUE(testing::link_agent(server, agent, "QQQQ22", "alice"));

  const std::string pad(kReport, 'p');
  for (int i = 0; i < kReports; i++) {
    Json big = json_object();
    json_add_string(big.get(), "path", "/report-" + std::to_string(i));
    json_add_string(big.get(), "pad", pad);
    ASSERT_TRUE(agent.send("directory_list", std::move(big)));
    Json small = json_object();
    json_add_number(small.get(), "part", i);
    ASSERT_TRUE(agent.send("imaging_progress", std::move(small)));
  }

  server::ClientRequest rq;
  rq.host = "127.0.0.1";
  rq.port = server.port();
  rq.ca_file = server.ca_file();
  rq.timeout_seconds = 60;
  std::ifstream token_file(server.data() + "/admin.token");
  std::string token;
  token_file >> token;
  rq.authorization = "Bearer " + token;

  // Page through everything the machine has, as the tools do.
  auto read_all = [&](std::vector<std::string>* names, std::vector<std::string>* paths, size_t* largest_reply,
                      uint64_t* payload) {
    long long after = 0;
    for (;;) {
      rq.target = "/api/events?machine_id=5ec0000e0a01&after=" + std::to_string(after) +
                  "&max_bytes=" + std::to_string(kBudget);
      std::string error;
      std::optional<server::ClientReply> r = server::https_request(rq, &error);
      if (!r || r->status != 200) return false;
      *largest_reply = std::max(*largest_reply, r->body.size());
      Json page = json_parse(r->body);
      const cJSON* events = json_get(page.get(), "events");
      for (int i = 0; i < json_array_size(events); i++) {
        const cJSON* e = json_array_item(events, i);
        after = static_cast<long long>(json_get_number(e, "seq"));
        names->push_back(json_get_string(e, "e"));
        const cJSON* d = json_get(e, "d");
        if (names->back() == "directory_list") paths->push_back(json_get_string(d, "path"));
        *payload += json_print(d).size();
      }
      if (!json_get_bool(page.get(), "more")) return true;
    }
  };
  std::vector<std::string> names, paths;
  size_t largest_reply = 0;
  uint64_t payload = 0;
  ASSERT_TRUE(testing::eventually(
      [&] {
        names.clear(), paths.clear(), payload = 0;
        return read_all(&names, &paths, &largest_reply, &payload) && !paths.empty() &&
               paths.back() == "/report-" + std::to_string(kReports - 1) &&
               std::count(names.begin(), names.end(), "imaging_progress") == kReports;
      },
      60s))
      << server.serve_log();
  // Everything has arrived: read it once more, with nothing changing under the pages.
  names.clear(), paths.clear(), payload = 0;
  ASSERT_TRUE(read_all(&names, &paths, &largest_reply, &payload));

  EXPECT_LE(payload, kQuota);
  // The newest reports are kept, the oldest dropped, with a line each.
  ASSERT_EQ(paths.size(), kQuota / (kReport + 64));
  EXPECT_EQ(paths.front(), "/report-" + std::to_string(kReports - static_cast<int>(paths.size())));
  std::string log = server.serve_log();
  size_t drops = 0;
  for (size_t at = log.find("over its quota"); at != std::string::npos; at = log.find("over its quota", at + 1)) drops++;
  EXPECT_EQ(drops, kReports - paths.size()) << log;
  EXPECT_NE(log.find("machine 5ec0000e0a01 over its quota of 16777216 bytes: dropped directory_list"),
            std::string::npos);
  // No page beyond its budget (and the JSON around the payloads).
  EXPECT_LE(largest_reply, kBudget + 4096);
  long peak_kb = testing::proc_status_kb(server.pid(), "VmHWM");
  std::printf("server peak memory %ld kB, largest page %zu bytes\n", peak_kb, largest_reply);
  EXPECT_LT(peak_kb, kPeakBoundKb);
}

}  // namespace
}  // namespace halvex
