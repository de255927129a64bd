// The agent's own link modules (WebSocket client, dispatcher, authentication,
// identity store) against the real recovery-server binary over real TLS on
// loopback: pairing through the page and through `approve`, authentication
// with the stored key, commands and stored events, and a restart of the server.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "core/util.h"
#include "tests/integration/agent_link.h"

namespace halvex {
namespace {

using namespace std::chrono_literals;
using halvex::testing::eventually;
using testing::ChildProcess;
using testing::ServerProcess;
using testing::TempDir;

// Answers like the disk module would.
void on_list_disks(const cJSON*) {
  Json d = json_object();
  json_add_item(d.get(), "disks", json_array());
  send_event("disk_list", std::move(d));
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    out.push_back(text.substr(start, nl - start));
  return out;
}

class ServerLinkTest : public testing::AgentLinkTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(start({"alice", "bob"}));
    register_handler("list_disks", on_list_disks);
  }

  std::optional<server::ClientReply> https(const std::string& method, const std::string& target,
                                           const std::string& body = "") {
    server::ClientRequest rq = server_.form_post(target, body);
    rq.host = "localhost";
    rq.method = method;
    if (body.empty()) rq.content_type.clear();
    std::string error;
    std::optional<server::ClientReply> reply = server::https_request(rq, &error);
    EXPECT_TRUE(reply) << error;
    return reply;
  }

  // Sends the request and waits until the server holds the code.
  void offer_code(const std::string& code) {
    send_pair_request(code);
    ASSERT_TRUE(eventually([&] {
      std::optional<server::ClientReply> r = https("GET", "/link_service?code=" + code);
      return r && r->status == 200;
    }));
  }

  std::string machines_line(std::string id = "") {
    if (id.empty()) id = get_machine_id();
    std::string out;
    EXPECT_EQ(server_.run({"machines"}, "", &out), 0) << server_.last_output();
    for (const std::string& l : lines(out))
      if (l.find("\"" + id + "\"") != std::string::npos) return l;
    return "";
  }
};

TEST_F(ServerLinkTest, PairingThroughThePageThenAuthenticationWithTheStoredKey) {
  // The page's form, wrong passwords and the used-up code are AppTest's
  // (server/admin/app_test).
  connect();
  offer_code("PAGE23");
  std::optional<server::ClientReply> ok =
      https("POST", "/link_service", "code=PAGE23&username=alice&password=pw-alice");
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->status, 200) << ok->body;
  EXPECT_NE(ok->body.find("test-box"), std::string::npos);
  expect_pair_success("alice");

  reconnect_and_authenticate();
  // The user id is set just before the log line is written.
  EXPECT_TRUE(eventually([&] {
    return log_text().find("auth: authenticated as alice") != std::string::npos;
  })) << log_text();
  std::string line = machines_line();
  EXPECT_TRUE(std::regex_search(
      line, std::regex("\"machine_id\":\"" + get_machine_id() +
                       "\",\"hostname\":\"test-box\",\"user\":\"alice\",\"user_id\":[0-9]+,"
                       "\"online\":true,\"last_seen\":[1-9][0-9]*")))
      << line;
}

TEST_F(ServerLinkTest, PairingThroughApproveThenCommandsAndStoredEvents) {
  pair_with_approve();
  reconnect_and_authenticate();
  const std::string id = get_machine_id();
  std::string out;
  ASSERT_EQ(server_.run({"send", id, "list_disks"}, "", &out), 0) << server_.last_output();
  EXPECT_EQ(out, "{\"sent\":true}\n");
  ASSERT_TRUE(eventually([&] {
    server_.run({"events", id}, "", &out);
    return out.find("disk_list") != std::string::npos;
  })) << out;
  std::vector<std::string> events = lines(out);
  // The pairing link's end (the agent reconnected) is recorded between.
  ASSERT_EQ(events.size(), 3u) << out;
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      events[0], m,
      std::regex(
          R"(\{"seq":([0-9]+),"at":[0-9]+,"e":"pair_success","d":\{"username":"alice","user_id":[0-9]+\}\})")))
      << events[0];
  EXPECT_TRUE(std::regex_match(
      events[1],
      std::regex(
          R"(\{"seq":[0-9]+,"at":[0-9]+,"e":"machine_offline","d":\{"reason":"link closed"\}\})")))
      << events[1];
  EXPECT_TRUE(std::regex_match(
      events[2],
      std::regex(R"(\{"seq":[0-9]+,"at":[0-9]+,"e":"disk_list","d":\{"disks":\[\]\}\})")))
      << events[2];
  ASSERT_EQ(server_.run({"events", id, "--after", m[1]}, "", &out), 0);
  EXPECT_EQ(lines(out).size(), 2u) << out;
  EXPECT_EQ(lines(out).back(), events[2]);

  // --follow prints events as they arrive, after those already seen.
  std::smatch last;
  ASSERT_TRUE(std::regex_search(events[2], last, std::regex(R"(^\{"seq":([0-9]+))")));
  ChildProcess follow(
      {RECOVERY_SERVER_BIN, "events", id, "--after", last[1], "--follow", "--data", server_.data()},
      dir_.path(), "follow");
  std::string error;
  ASSERT_TRUE(follow.start(&error)) << error;
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let it start waiting
  ASSERT_EQ(server_.run({"send", id, "list_disks"}), 0) << server_.last_output();
  EXPECT_TRUE(follow.wait_for_output("\"e\":\"disk_list\"", std::chrono::seconds(15)))
      << follow.err();
  EXPECT_EQ(lines(follow.out()).size(), 1u) << follow.out();
  follow.signal(SIGTERM);
  follow.wait(std::chrono::seconds(5));

  // Errors come back as "context: cause" with a non-zero status.
  EXPECT_EQ(server_.run({"send", "ffffffffffff", "list_disks"}), 1);
  EXPECT_NE(server_.last_output().find("recovery-server: send: machine ffffffffffff: unknown"),
            std::string::npos)
      << server_.last_output();
  EXPECT_EQ(server_.run({"approve", "NOCODE", "--user", "alice"}), 1);
  EXPECT_EQ(server_.run({"send", id, "list_disks", "{not json"}), 2);
}

// Names from disks may be any bytes, and a cut may fall inside a character;
// the server's WebSocket refuses a text frame that is not UTF-8 and drops the
// link. The event must arrive, repaired, and the link stay up.
TEST_F(ServerLinkTest, AnEventWithBytesThatAreNotUtf8ArrivesRepairedAndTheLinkStays) {
  pair_with_approve();
  reconnect_and_authenticate();
  const std::string id = get_machine_id();
  Json disk = json_object();
  json_add_string(disk.get(), "label", "caf\xC3\xA9 \xFF\xC0\xAF");
  json_add_string(disk.get(), "path",
                  text_cut("/mnt/\xE2\x82\xAC\xE2\x82\xAC", 10));  // cut inside the second euro
  Json disks = json_array();
  json_append(disks.get(), std::move(disk));
  Json d = json_object();
  json_add_item(d.get(), "disks", std::move(disks));
  send_event("disk_list", std::move(d));
  send_event("drive_list", json_object());  // only sent if the link survived the first

  std::string out;
  ASSERT_TRUE(eventually(
      [&] {
        server_.run({"events", id}, "", &out);
        return out.find("drive_list") != std::string::npos;
      },
      5s))
      << out << log_text();
  EXPECT_NE(out.find("{\"label\":\"caf\xC3\xA9 "
                     "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\",\"path\":\"/mnt/\xE2\x82\xAC\"}"),
            std::string::npos)
      << out;
  EXPECT_TRUE(ws_is_connected());
}

// A wrong key and a revoked one are the hub's table (server/hub_test
// AuthenticationOutcomes, RevokeClosesTheLiveConnection...), the agent's
// answer to them link/auth_link_test's, and the whole chain agent_e2e_test's.

TEST_F(ServerLinkTest, ARestartKeepsMachinesAndUsers) {
  pair_with_approve();
  reconnect_and_authenticate();
  ASSERT_EQ(server_.stop(), 0) << server_.last_output();
  ASSERT_TRUE(eventually([] { return !ws_is_connected(); }));  // closed by the shutdown
  disconnect();
  ASSERT_TRUE(server_.start());
  reconnect_and_authenticate();
  EXPECT_NE(machines_line().find("\"user\":\"alice\""), std::string::npos);
  // The users survived too: bob can still link a machine.
  ASSERT_EQ(server_.run({"user", "add", "bob"}, "other\n"), 1);
  EXPECT_NE(server_.last_output().find("user bob: already exists"), std::string::npos);
}

TEST(ServerCliTest, InitRefusesAnInitialisedFolderAndServeNeedsOne) {
  TempDir dir;
  ServerProcess server(dir.path());
  ASSERT_TRUE(server.init({}));
  EXPECT_EQ(server.run({"init"}), 1);
  EXPECT_NE(server.last_output().find("already initialised"), std::string::npos)
      << server.last_output();
  struct stat st;
  ASSERT_EQ(::stat(server.data().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(::stat((server.data() + "/admin.token").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string token = testing::read_text_file(server.data() + "/admin.token");
  EXPECT_TRUE(std::regex_match(token, std::regex("[0-9a-f]{64}\n"))) << token;

  ServerProcess empty(dir.path(), "nothing");
  EXPECT_EQ(empty.run({"serve"}), 1);
  EXPECT_EQ(empty.run({"machines"}), 1);
  EXPECT_EQ(empty.run({"frobnicate"}), 2);
  EXPECT_EQ(server.run({"user", "add", "carol"}, ""), 1);  // no password
}

}  // namespace
}  // namespace halvex
