// A machine that reports far more than the server should keep: the real
// recovery-server keeps the machine's stored events under its quota (the
// oldest large reports go first, small progress events stay) and answers
// the events API in pages that keep to their byte budget, so neither the
// server nor the operator's tools hold everything at once.

#include <gtest/gtest.h>

#include "tests/security/linked_agent.h"
#include "tests/security/security_util.h"

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

constexpr size_t kReport = 4u << 20;    // one large report
constexpr int kReports = 12;            // 48 MiB in all
constexpr uint64_t kQuota = 16u << 20;  // serve --event-quota-mb 16
constexpr uint64_t kBudget = 6u << 20;  // bytes asked per page

using EventQuotaTest = testing::ServerTest;

TEST_F(EventQuotaTest, StorageAndPagesStayBounded) {
  ASSERT_TRUE(serve({"alice"}, "127.0.0.1:0", {"--event-quota-mb", "16"}));
  testing::AgentClient agent("5ec0000e0a01");
  ASSERT_TRUE(testing::link_agent(server_, agent, "QQQQ22", "alice"));

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

  server::ClientRequest rq = server_.request("", true);
  rq.timeout_seconds = 60;

  // Page through everything the machine has, as the tools do.
  auto read_all = [&](std::vector<std::string>* names, std::vector<std::string>* paths,
                      size_t* largest_reply, uint64_t* payload) {
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
      << server_.serve_log();
  // Everything has arrived: read it once more, with nothing changing under the pages.
  names.clear(), paths.clear(), payload = 0;
  ASSERT_TRUE(read_all(&names, &paths, &largest_reply, &payload));

  EXPECT_LE(payload, kQuota);
  // The newest reports are kept, the oldest dropped, with a line each.
  ASSERT_EQ(paths.size(), kQuota / (kReport + 64));
  EXPECT_EQ(paths.front(), "/report-" + std::to_string(kReports - static_cast<int>(paths.size())));
  EXPECT_EQ(server_.log_count("over its quota"), kReports - paths.size()) << server_.serve_log();
  EXPECT_NE(server_.serve_log().find(
                "machine 5ec0000e0a01 over its quota of 16777216 bytes: dropped directory_list"),
            std::string::npos);
  // No page beyond its budget (and the JSON around the payloads).
  EXPECT_LE(largest_reply, kBudget + 4096);
  EXPECT_LT(testing::proc_status_kb(server_.pid(), "VmHWM"), kPeakBoundKb);
}

}  // namespace
}  // namespace halvex
