#include "server/hub/hub.h"

#include <gtest/gtest.h>

#include "tests/support/hub_fixture.h"

namespace halvex::server {
namespace {

using namespace halvex::server::testing;

std::string auth_fail(const std::string& why) {
  return R"({"e":"auth_fail","d":{"error":")" + why + "\"}}";
}

class HubTest : public HubFixture {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(open("unused")); }

  // Pairs `machine` through a code on a fresh connection; returns it.
  std::pair<Hub::ConnId, std::shared_ptr<FakeSink>> pair(const std::string& machine, const Key& key,
                                                         const std::string& code = "ABC234") {
    auto [id, sink] = connect();
    hub_->on_message(id, pair_request(code, machine, key));
    ApproveResult r = hub_->approve(code, "alice");
    EXPECT_EQ(r.status, ApproveStatus::kApproved);
    return {id, sink};
  }

  // Runs the handshake on a fresh connection; returns it and the final reply.
  std::tuple<Hub::ConnId, std::shared_ptr<FakeSink>, std::string> authenticate(
      const std::string& machine, const Key& signer, const Key& claimed,
      const std::string& version = "0.2.1") {
    auto [id, sink] = connect();
    hub_->on_message(id, auth_key(machine, version));
    std::string challenge = challenge_of(sink->last());
    if (challenge.empty()) return {id, sink, sink->last()};
    hub_->on_message(id, auth_response(signer.sign_b64(challenge), claimed.public_b64()));
    return {id, sink, sink->last()};
  }
};

TEST_F(HubTest, PairingBindsTheKeyAndTellsThePairingConnection) {
  Key key;
  auto [id, sink] = connect();
  hub_->on_message(id, pair_request("ABC234", "m1", key));
  ASSERT_TRUE(store_->pending("ABC234", now_));
  EXPECT_TRUE(sink->sent.empty());
  ApproveResult r = hub_->approve("ABC234", "alice");
  EXPECT_EQ(r.status, ApproveStatus::kApproved);
  EXPECT_TRUE(r.notified);
  EXPECT_EQ(r.machine_id, "m1");
  ASSERT_EQ(sink->sent.size(), 1u);
  EXPECT_EQ(sink->sent[0], R"({"e":"pair_success","d":{"username":"alice","user_id":)" +
                               std::to_string(r.user_id) + "}}");
  std::optional<Machine> m = store_->machine("m1");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->public_key, key.public_b64());
  EXPECT_EQ(m->hostname, "box <1>");
  EXPECT_FALSE(store_->pending("ABC234", now_));
  // The pairing connection now speaks for the machine.
  EXPECT_TRUE(hub_->is_online("m1"));
  hub_->on_message(id, R"({"e":"disk_list","d":{"disks":[]}})");
  std::vector<StoredEvent> events = store_->events_after("m1", 0, 10);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].name, "pair_success");
  EXPECT_EQ(events[1].name, "disk_list");
  EXPECT_EQ(events[1].data, R"({"disks":[]})");
  // A used code is gone.
  EXPECT_EQ(hub_->approve("ABC234", "alice").status, ApproveStatus::kUnknownCode);
}

TEST_F(HubTest, ApproveRefusalsAndNoTakeOverOfAWaitingCode) {
  Key key, intruder;
  auto [id, sink] = connect();
  hub_->on_message(id, pair_request("ABC234", "m1", key));
  auto [id2, sink2] = connect();
  hub_->on_message(id2, pair_request("ABC234", "m2", intruder));
  hub_->on_message(id2, pair_request("ABC234", "m1", intruder));
  auto [id3, sink3] = connect();
  hub_->on_message(id3, pair_request("XYZ234", "m3", key));
  EXPECT_EQ(hub_->approve("ABC234", "mallory").status, ApproveStatus::kUnknownUser);
  EXPECT_EQ(hub_->approve("ZZZ234", "alice").status, ApproveStatus::kUnknownCode);
  EXPECT_EQ(hub_->approve("abc234", "alice").status, ApproveStatus::kUnknownCode);
  EXPECT_TRUE(sink->sent.empty());
  EXPECT_FALSE(store_->machine("m1"));

  ApproveResult r = hub_->approve("ABC234", "alice");
  EXPECT_EQ(r.machine_id, "m1");
  EXPECT_EQ(store_->machine("m1")->public_key, key.public_b64());
  EXPECT_EQ(sink->sent.size(), 1u);
  EXPECT_TRUE(sink2->sent.empty());
  now_ += kPairCodeLifetime;  // ten minutes later the other code is gone
  EXPECT_EQ(hub_->approve("XYZ234", "alice").status, ApproveStatus::kUnknownCode);
  EXPECT_TRUE(sink3->sent.empty());
  EXPECT_FALSE(store_->machine("m3"));
}

TEST_F(HubTest, MalformedPairRequestsAreDropped) {
  Key key;
  auto req = [](const std::string& d) { return R"({"e":"service_pair_request","d":{)" + d + "}}"; };
  const std::string pk = R"("public_key":")" + key.public_b64() + "\"";
  const std::string cases[] = {
      req(R"("code":"ABC23",)" + pk + R"(,"machine_id":"m1")"),
      req(R"("code":"ABC234","public_key":"AAAA","machine_id":"m1")"),
      req(R"("code":"ABC234",)" + pk + R"(,"machine_id":"a/b")"),
      req(R"("code":"ABC234",)" + pk),
      req(R"("code":123456,)" + pk + R"(,"machine_id":"m1")"),
      R"({"e":"service_pair_request"})",
  };
  auto [id, sink] = connect();
  for (const std::string& c : cases) {
    hub_->on_message(id, c);
    EXPECT_FALSE(store_->pending("ABC234", now_)) << c;
    EXPECT_FALSE(store_->pending("ABC23", now_)) << c;
  }
  EXPECT_TRUE(sink->sent.empty());
}

TEST_F(HubTest, AuthenticationOutcomes) {
  Key key, other;
  pair("m1", key);
  pair("m2", key, "XYZ234");
  ASSERT_TRUE(hub_->revoke("m2"));
  Json ok = json_parse(std::get<2>(authenticate("m1", key, key)));
  EXPECT_EQ(json_get_string(ok.get(), "e"), "auth_ok");
  EXPECT_EQ(json_get_string(json_get(ok.get(), "d"), "username"), "alice");
  EXPECT_EQ(json_get_number(json_get(ok.get(), "d"), "user_id"), store_->find_user("alice")->id);

  struct {
    const char* what;
    std::string machine;
    const Key& signer;
    const Key& claimed;
    std::string reply;
  } cases[] = {
      {"unknown machine", "m9", key, key, auth_fail("Unknown machine")},
      {"malformed machine id", "../x", key, key, auth_fail("Unknown machine")},
      {"revoked", "m2", key, key, auth_fail("Key revoked")},
      {"wrong key", "m1", other, other, auth_fail("Invalid signature")},
      {"right signature, other key claimed", "m1", key, other, auth_fail("Invalid signature")},
      {"other signature, stored key claimed", "m1", other, key, auth_fail("Invalid signature")},
  };
  for (auto& c : cases) {
    auto [id, sink, reply] = authenticate(c.machine, c.signer, c.claimed);
    EXPECT_EQ(reply, c.reply) << c.what;
    EXPECT_EQ(sink->closes, 0) << c.what;  // the connection stays up
  }

  // After a self-update the machine list shows the version the agent now
  // runs; a failed login changes nothing.
  struct {
    const Key& signer;
    std::string version;
    std::string stored;
  } steps[] = {
      {key, "0.2.1", "0.2.1"},
      {other, "6.6.6", "0.2.1"},  // refused
      {key, "0.3.0", "0.3.0"},
      {key, "", "0.3.0"},  // nothing reported: kept
  };
  for (auto& s : steps) {
    authenticate("m1", s.signer, key, s.version);
    EXPECT_EQ(store_->machine("m1")->version, s.stored) << s.version;
  }
}

TEST_F(HubTest, ChallengesAreFreshAndAnswerOnce) {
  Key key;
  pair("m1", key);
  auto [id, sink] = connect();
  hub_->on_message(id, auth_key("m1"));
  std::string c1 = challenge_of(sink->last());
  std::optional<Bytes> raw = base64_decode(c1);
  ASSERT_TRUE(raw);
  EXPECT_EQ(raw->size(), 32u);
  hub_->on_message(id, auth_key("m1"));
  std::string c2 = challenge_of(sink->last());
  EXPECT_NE(c1, c2);
  // The first challenge was replaced by the second.
  hub_->on_message(id, auth_response(key.sign_b64(c1), key.public_b64()));
  EXPECT_EQ(sink->last(), auth_fail("Invalid signature"));
  // And the second was used up by that failed answer.
  hub_->on_message(id, auth_response(key.sign_b64(c2), key.public_b64()));
  EXPECT_EQ(sink->last(), auth_fail("Invalid signature"));
  // A response with no challenge at all.
  auto [id2, sink2] = connect();
  hub_->on_message(id2, auth_response(key.sign_b64(""), key.public_b64()));
  EXPECT_EQ(sink2->last(), auth_fail("Invalid signature"));
}

TEST_F(HubTest, BadInputIsDroppedAndNothingIsStored) {
  Key key;
  auto [pid, psink] = pair("m1", key);
  hub_->on_close(pid);
  int64_t before = store_->events_after("m1", 0, 100).size();
  auto [id, sink] = connect();
  const std::string cases[] = {
      "",
      "not json",
      "{\"e\":",
      "[1,2]",
      "\"disk_list\"",
      R"({"e":42,"d":{}})",
      R"({"d":{}})",
      R"({"e":"disk_list","d":{}})",  // before authentication
      R"({"e":"heartbeat","d":{}})",  // before authentication
      R"({"e":"auth_ok","d":{"user_id":1}})",
      std::string(R"({"e":"disk_list","d":")") + std::string(kMaxAgentMessage, 'x') + "\"}",
  };
  for (const std::string& c : cases) hub_->on_message(id, c);
  EXPECT_TRUE(sink->sent.empty());
  EXPECT_EQ(sink->closes, 0);

  // Authenticated now: unknown and server-side event names are still dropped.
  auto [aid, asink, reply] = authenticate("m1", key, key);
  ASSERT_EQ(json_get_string(json_parse(reply).get(), "e"), "auth_ok");
  for (const char* c : {R"({"e":"no_such_event","d":{}})", R"({"e":"auth_challenge","d":{}})",
                        R"({"e":"pair_success","d":{}})", R"({"e":"list_disks"})"}) {
    hub_->on_message(aid, c);
  }
  EXPECT_EQ(static_cast<int64_t>(store_->events_after("m1", 0, 100).size()), before);
  hub_->on_message(aid, R"({"e":"job_error"})");  // no "d": stored as {}
  std::vector<StoredEvent> events = store_->events_after("m1", 0, 100);
  EXPECT_EQ(events.back().name, "job_error");
  EXPECT_EQ(events.back().data, "{}");
}

TEST_F(HubTest, HeartbeatMarksTheMachineAlive) {
  Key key;
  pair("m1", key);
  now_ += 100;
  auto [id, sink, reply] = authenticate("m1", key, key);
  EXPECT_EQ(store_->machine("m1")->last_seen, now_);
  now_ += 20;
  hub_->on_message(id, R"({"e":"heartbeat","d":{}})");
  EXPECT_EQ(store_->machine("m1")->last_seen, now_);
  size_t logged = 0;
  for (const StoredEvent& e : store_->events_after("m1", 0, 100))
    logged += e.name != kMachineOfflineEvent;
  EXPECT_EQ(logged, 1u);  // pair_success only: heartbeats are not logged
}

TEST_F(HubTest, RevokeClosesTheLiveConnectionAndRefusesTheNextLogin) {
  Key key;
  pair("m1", key);
  auto [id, sink, reply] = authenticate("m1", key, key);
  EXPECT_TRUE(hub_->is_online("m1"));
  EXPECT_TRUE(hub_->revoke("m1"));
  EXPECT_EQ(sink->closes, 1);
  EXPECT_FALSE(hub_->is_online("m1"));
  hub_->on_close(id);
  // Whoever follows the machine learns that its link ended, and why.
  std::vector<StoredEvent> events = store_->events_after("m1", 0, 100);
  ASSERT_EQ(events.back().name, kMachineOfflineEvent);
  EXPECT_EQ(events.back().data, R"({"reason":"revoked"})");
  EXPECT_EQ(std::get<2>(authenticate("m1", key, key)), auth_fail("Key revoked"));
  EXPECT_FALSE(hub_->revoke("m404"));
  // Pairing again does not lift the revocation; the operator's re-key does.
  auto [pid, psink] = connect();
  hub_->on_message(pid, pair_request("QRS234", "m1", key));
  EXPECT_EQ(hub_->approve("QRS234", "alice").status, ApproveStatus::kNeedsRekey);
  EXPECT_EQ(std::get<2>(authenticate("m1", key, key)), auth_fail("Key revoked"));
  EXPECT_EQ(hub_->approve("QRS234", "alice", true).status, ApproveStatus::kApproved);
  EXPECT_EQ(json_get_string(json_parse(std::get<2>(authenticate("m1", key, key))).get(), "e"),
            "auth_ok");
}

// Sends go to the machine's newest connection, which replaces the older.
TEST_F(HubTest, SendNeedsAnOnlineMachine) {
  Key key;
  EXPECT_EQ(hub_->send("m1", "list_disks", nullptr), SendStatus::kUnknownMachine);
  auto [pid, psink] = pair("m1", key);
  hub_->on_close(pid);
  EXPECT_EQ(hub_->send("m1", "list_disks", nullptr), SendStatus::kOffline);
  auto [id1, sink1, r1] = authenticate("m1", key, key);
  auto [id2, sink2, r2] = authenticate("m1", key, key);
  EXPECT_EQ(sink1->closes, 1);
  EXPECT_EQ(sink2->closes, 0);
  hub_->on_close(id1);  // the old connection's end must not take the new one offline
  EXPECT_TRUE(hub_->is_online("m1"));
  EXPECT_EQ(hub_->send("m1", "list_disks", nullptr), SendStatus::kSent);
  EXPECT_EQ(sink2->last(), R"({"e":"list_disks","d":{}})");
  Json d = json_parse(R"({"path":"C:\\","include_files":["jpg"]})");
  EXPECT_EQ(hub_->send("m1", "list_directories", d.get()), SendStatus::kSent);
  EXPECT_EQ(sink2->last(),
            R"({"e":"list_directories","d":{"path":"C:\\","include_files":["jpg"]}})");
  hub_->on_close(id2);
  EXPECT_FALSE(hub_->is_online("m1"));
}

TEST_F(HubTest, WaitersWakeOnTheirMachinesEventsOnly) {
  Key key;
  auto [id1, s1] = pair("m1", key);
  auto [id2, s2] = pair("m2", key, "XYZ234");
  int woken1 = 0, woken2 = 0, cancelled = 0;
  hub_->add_waiter("m1", [&] { woken1++; });
  hub_->add_waiter("m2", [&] { woken2++; });
  uint64_t t = hub_->add_waiter("m1", [&] { cancelled++; });
  hub_->cancel_waiter(t);
  hub_->on_message(id1, R"({"e":"disk_list","d":{}})");
  EXPECT_EQ(woken1, 1);
  EXPECT_EQ(woken2, 0);
  EXPECT_EQ(cancelled, 0);
  hub_->on_message(id1, R"({"e":"disk_list","d":{}})");
  EXPECT_EQ(woken1, 1);  // once only
  hub_->close_all();     // shutdown wakes the rest
  EXPECT_EQ(woken2, 1);
  EXPECT_EQ(s1->closes, 1);
  EXPECT_EQ(s2->closes, 1);
}

// The console's machine list follows these: a change of who is online (or
// revoked) wakes it, a machine's report does not.
TEST_F(HubTest, ListWaitersWakeOnOnlineStateOnly) {
  Key key;
  int woken = 0;
  auto wait = [&] { hub_->add_waiter(kMachineListWaiter, [&] { woken++; }); };
  wait();
  auto [id, sink] = pair("m1", key);
  EXPECT_EQ(woken, 1);
  wait();
  hub_->on_message(id, R"({"e":"disk_list","d":{}})");
  EXPECT_EQ(woken, 1);
  hub_->on_close(id);
  EXPECT_EQ(woken, 2);
  wait();
  EXPECT_TRUE(hub_->revoke("m1"));
  EXPECT_EQ(woken, 3);
}

TEST(PasswordTest, HashAndCheck) {
  ASSERT_GE(sodium_init(), 0);
  std::string hash = hash_password("correct horse");
  ASSERT_FALSE(hash.empty());
  EXPECT_TRUE(check_password(hash, "correct horse"));
  EXPECT_FALSE(check_password(hash, "correct horse "));
  EXPECT_FALSE(check_password(hash, ""));
  EXPECT_FALSE(check_password("", "x"));
  EXPECT_FALSE(check_password("garbage", "x"));
}

}  // namespace
}  // namespace halvex::server
