// Attacks on pairing against the real recovery-server: another account
// re-pairing a machine id it does not own, and a revoked machine pairing
// its way back. Only a machine that proves its stored key, or the
// operator's explicit re-key, may change a paired machine.

#include <gtest/gtest.h>

#include "tests/security/linked_agent.h"
#include "tests/support/eventually.h"

namespace halvex {
namespace {

using testing::AgentClient;

class PairingTakeoverTest : public testing::ServerTest {
 protected:
  void SetUp() override { ASSERT_TRUE(serve({"alice", "mallory"})); }

  // The pairing page's form, as a browser posts it; the status.
  int link_page(const std::string& code, const std::string& user) {
    std::string error;
    std::optional<server::ClientReply> r = server::https_request(
        server_.form_post("/link_service",
                          "code=" + code + "&username=" + user + "&password=pw-" + user),
        &error);
    last_page_ = r ? r->body : error;
    return r ? r->status : -1;
  }

  // Pairs `a` for `user` through the pairing page; keeps its link open
  // until pair_success arrives.
  void pair(AgentClient& a, const std::string& code, const std::string& user) {
    ASSERT_NO_FATAL_FAILURE(offer(a, code));
    ASSERT_EQ(link_page(code, user), 200) << last_page_;
    Json msg = a.next_event();
    ASSERT_EQ(json_get_string(msg.get(), "e"), "pair_success");
    a.close();
  }

  // `a` connects and asks to pair with `code`, until the server holds it.
  void offer(AgentClient& a, const std::string& code) {
    ASSERT_TRUE(a.connect(server_.port()));
    ASSERT_TRUE(a.pair_request(code));
    ASSERT_TRUE(wait_pending(code));
  }

  bool wait_pending(const std::string& code) {
    return testing::eventually([&] { return server_.log_count("waits with code " + code) > 0; });
  }

  // A fresh connection of the machine with `key_of`'s key.
  std::string auth_result(const AgentClient& key_of) {
    AgentClient again(key_of.machine_id());
    again.use_key_of(key_of);
    if (!again.connect(server_.port())) return "no connection";
    std::string r = again.authenticate();
    again.close();
    return r;
  }

  std::string last_page_;
};

TEST_F(PairingTakeoverTest, AnotherAccountCannotRepairAMachineId) {
  AgentClient owner("5ec0000a0001");
  pair(owner, "AAAAA2", "alice");
  ASSERT_EQ(auth_result(owner), "auth_ok");

  // Mallory sends a pairing request for alice's machine id with her own key
  // and links it with her own password.
  AgentClient thief(owner.machine_id());
  ASSERT_NO_FATAL_FAILURE(offer(thief, "MMMMM3"));
  EXPECT_EQ(link_page("MMMMM3", "mallory"), 409) << last_page_;
  EXPECT_NE(last_page_.find("--rekey"), std::string::npos) << last_page_;
  // The operator's plain approval is refused too.
  EXPECT_NE(server_.run({"approve", "MMMMM3", "--user", "mallory"}), 0) << server_.last_output();

  EXPECT_EQ(auth_result(thief), "auth_fail: Invalid signature");
  EXPECT_EQ(auth_result(owner), "auth_ok");
  std::string machines;
  ASSERT_EQ(server_.run({"machines"}, "", &machines), 0);
  EXPECT_NE(machines.find("\"user\":\"alice\""), std::string::npos) << machines;

  // The operator may replace the key on purpose.
  EXPECT_EQ(server_.run({"approve", "MMMMM3", "--user", "mallory", "--rekey"}), 0)
      << server_.last_output();
  EXPECT_EQ(json_get_string(thief.next_event().get(), "e"), "pair_success");
  EXPECT_EQ(auth_result(thief), "auth_ok");
  EXPECT_EQ(auth_result(owner), "auth_fail: Invalid signature");
}

TEST_F(PairingTakeoverTest, MachineProvingItsKeyMayMoveToAnotherAccount) {
  AgentClient owner("5ec0000a0002");
  pair(owner, "BBBBB2", "alice");
  // The agent's own re-pairing: it authenticates with its stored key on the
  // pairing connection and asks for the same key.
  AgentClient again(owner.machine_id());
  again.use_key_of(owner);
  ASSERT_TRUE(again.connect(server_.port()));
  ASSERT_EQ(again.authenticate(), "auth_ok");
  ASSERT_TRUE(again.pair_request("BBBBB3"));
  ASSERT_TRUE(wait_pending("BBBBB3"));
  EXPECT_EQ(link_page("BBBBB3", "mallory"), 200) << last_page_;
  EXPECT_EQ(json_get_string(again.next_event().get(), "e"), "pair_success");
  again.close();
  std::string machines;
  ASSERT_EQ(server_.run({"machines"}, "", &machines), 0);
  EXPECT_NE(machines.find("\"user\":\"mallory\""), std::string::npos) << machines;
}

TEST_F(PairingTakeoverTest, RevokedMachineStaysRevokedUntilTheOperatorLiftsIt) {
  AgentClient owner("5ec0000a0003");
  pair(owner, "CCCCC2", "alice");
  ASSERT_EQ(server_.run({"revoke", owner.machine_id()}), 0) << server_.last_output();
  ASSERT_EQ(auth_result(owner), "auth_fail: Key revoked");

  // Pairing again, with the old key or a new one, through the page: refused.
  for (const char* code : {"CCCCC3", "CCCCC4"}) {
    AgentClient back(owner.machine_id());
    if (std::string(code) == "CCCCC3") back.use_key_of(owner);
    ASSERT_NO_FATAL_FAILURE(offer(back, code));
    EXPECT_EQ(link_page(code, "alice"), 409) << code << ": " << last_page_;
    EXPECT_EQ(auth_result(back), "auth_fail: Key revoked") << code;
    back.close();
  }
  std::string machines;
  ASSERT_EQ(server_.run({"machines"}, "", &machines), 0);
  EXPECT_NE(machines.find("\"revoked\":true"), std::string::npos) << machines;

  // The operator's re-key lifts it.
  AgentClient lifted(owner.machine_id());
  ASSERT_NO_FATAL_FAILURE(offer(lifted, "CCCCC5"));
  EXPECT_EQ(server_.run({"approve", "CCCCC5", "--user", "alice", "--rekey"}), 0)
      << server_.last_output();
  EXPECT_EQ(json_get_string(lifted.next_event().get(), "e"), "pair_success");
  EXPECT_EQ(auth_result(lifted), "auth_ok");
}

// A link that proved one machine's key and then pairs another machine id
// serves the second from then on: whoever follows the first machine's
// events must learn that its link ended.
TEST_F(PairingTakeoverTest, LinkThatPairsAnotherMachineEndsTheFirstOnesLink) {
  AgentClient first("5ec0000a0010");
  pair(first, "FFFFF2", "alice");
  auto offline_events = [&] {
    std::string out;
    server_.run({"events", first.machine_id()}, "", &out);
    return testing::count_of(out, "machine_offline");
  };
  ASSERT_TRUE(testing::eventually([&] { return offline_events() == 1; }));  // the pairing link's

  AgentClient link(first.machine_id());
  link.use_key_of(first);
  ASSERT_TRUE(link.connect(server_.port()));
  ASSERT_EQ(link.authenticate(), "auth_ok");
  Json d = json_object();
  json_add_string(d.get(), "code", "GGGGG2");
  json_add_string(d.get(), "public_key", link.public_key());
  json_add_string(d.get(), "machine_id", "5ec0000a0011");
  ASSERT_TRUE(link.send("service_pair_request", std::move(d)));
  ASSERT_TRUE(wait_pending("GGGGG2"));
  ASSERT_EQ(server_.run({"approve", "GGGGG2", "--user", "alice"}), 0) << server_.last_output();
  EXPECT_EQ(json_get_string(link.next_event().get(), "e"), "pair_success");
  EXPECT_EQ(offline_events(), 2u);
}

}  // namespace
}  // namespace halvex
