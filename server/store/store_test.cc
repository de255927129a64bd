#include "server/store/store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "tests/support/temp_dir.h"

namespace halvex::server {
namespace {

using halvex::testing::TempDir;

PendingPair pending_pair(const std::string& code, const std::string& machine, int64_t expires) {
  PendingPair p;
  p.code = code;
  p.machine_id = machine;
  p.public_key = "key-of-" + machine;
  p.hostname = "host-" + machine;
  p.platform = "Linux";
  p.version = "0.2.1";
  p.build = "native";
  p.expires = expires;
  return p;
}

// Writes a database of an older layout by hand.
void old_database(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override { reopen(); }
  void reopen(const std::string& name = "server.db") {
    store_.reset();
    std::string error;
    store_ = Store::open(dir_.file(name), &error);
    ASSERT_TRUE(store_) << error;
  }
  TempDir dir_;
  std::unique_ptr<Store> store_;
};

TEST_F(StoreTest, UsersAreUniqueByName) {
  std::string error;
  ASSERT_TRUE(store_->add_user("alice", "hash-a", &error)) << error;
  ASSERT_TRUE(store_->add_user("bob", "hash-b", &error)) << error;
  EXPECT_FALSE(store_->add_user("alice", "other", &error));
  EXPECT_EQ(error, "user alice: already exists");
  std::optional<User> a = store_->find_user("alice");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->password_hash, "hash-a");
  EXPECT_EQ(store_->user_by_id(a->id)->name, "alice");
  EXPECT_FALSE(store_->find_user("ALICE"));
  EXPECT_FALSE(store_->find_user("alice' OR '1'='1"));
}

TEST_F(StoreTest, PendingCodesExpireAndCountFailures) {
  ASSERT_TRUE(store_->put_pending(pending_pair("ABC234", "m1", 1000)));
  EXPECT_TRUE(store_->pending("ABC234", 999));
  EXPECT_FALSE(store_->pending("ABC234", 1000));  // expired at its second
  EXPECT_EQ(store_->add_pending_failure("ABC234"), 1);
  EXPECT_EQ(store_->add_pending_failure("ABC234"), 2);
  EXPECT_EQ(store_->pending("ABC234", 0)->failures, 2);
  EXPECT_EQ(store_->add_pending_failure("NOPE22"), 0);
  EXPECT_EQ(store_->purge_expired(1000), 1);
  EXPECT_FALSE(store_->pending("ABC234", 0));
}

TEST_F(StoreTest, BindRevokeAndRebind) {
  std::string error;
  ASSERT_TRUE(store_->add_user("alice", "h", &error));
  ASSERT_TRUE(store_->add_user("bob", "h", &error));
  int64_t alice = store_->find_user("alice")->id, bob = store_->find_user("bob")->id;
  ASSERT_TRUE(store_->put_pending(pending_pair("ABC234", "m1", 5000)));
  ASSERT_TRUE(store_->bind_machine(*store_->pending("ABC234", 0), alice, 100));
  EXPECT_FALSE(store_->pending("ABC234", 0));  // the code is used up
  std::optional<Machine> m = store_->machine("m1");
  ASSERT_TRUE(m);
  EXPECT_EQ(m->public_key, "key-of-m1");
  EXPECT_EQ(m->username, "alice");
  EXPECT_EQ(m->hostname, "host-m1");
  EXPECT_FALSE(m->revoked);

  EXPECT_TRUE(store_->revoke("m1"));
  EXPECT_FALSE(store_->revoke("m2"));
  EXPECT_TRUE(store_->machine("m1")->revoked);

  // Pairing again lifts the revocation and replaces key and owner.
  PendingPair again = pending_pair("XYZ234", "m1", 5000);
  again.public_key = "new-key";
  ASSERT_TRUE(store_->put_pending(again));
  ASSERT_TRUE(store_->bind_machine(again, bob, 200));
  m = store_->machine("m1");
  EXPECT_FALSE(m->revoked);
  EXPECT_EQ(m->public_key, "new-key");
  EXPECT_EQ(m->username, "bob");
  EXPECT_EQ(store_->machines().size(), 1u);
}

TEST_F(StoreTest, EventsAreNumberedPerServerAndReadPerMachine) {
  int64_t s1 = store_->add_event("m1", "disk_list", "{\"disks\":[]}", 1);
  int64_t s2 = store_->add_event("m2", "drive_list", "{}", 2);
  int64_t s3 = store_->add_event("m1", "job_error", "{\"error\":\"x\"}", 3);
  EXPECT_GT(s1, 0);
  EXPECT_LT(s1, s2);
  EXPECT_LT(s2, s3);
  std::vector<StoredEvent> all = store_->events_after("m1", 0, 100);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].name, "disk_list");
  EXPECT_EQ(all[0].data, "{\"disks\":[]}");
  EXPECT_EQ(all[1].seq, s3);
  EXPECT_EQ(store_->events_after("m1", s1, 100).size(), 1u);
  EXPECT_EQ(store_->events_after("m1", s3, 100).size(), 0u);
  EXPECT_EQ(store_->events_after("m1", 0, 1).size(), 1u);
}

TEST_F(StoreTest, RecentEventsPageBackwardsAndByName) {
  std::vector<int64_t> s;
  for (const char* name : {"a", "b", "a", "c", "b"})
    s.push_back(store_->add_event("m1", name, "{}", 1));
  const struct {
    int64_t before;
    std::string name;
    int limit;
    std::vector<int64_t> want;
  } cases[] = {
      {0, "", 10, {s[4], s[3], s[2], s[1], s[0]}},
      {0, "", 2, {s[4], s[3]}},
      {s[3], "", 2, {s[2], s[1]}},
      {0, "a", 10, {s[2], s[0]}},
      {s[2], "a", 10, {s[0]}},
      {s[0], "", 10, {}},
      {0, "zz", 10, {}},
  };
  for (const auto& c : cases) {
    std::vector<int64_t> got;
    for (const StoredEvent& e : store_->recent_events(c.limit, 256, {c.before, c.name}))
      got.push_back(e.seq);
    EXPECT_EQ(got, c.want) << "before " << c.before << ", name " << c.name;
  }
  EXPECT_EQ(store_->event_names(), (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(StoreTest, QuotaDropsOldestLargeReportsAndKeepsSmallEvents) {
  const std::string big(100 * 1024, 'x');  // a large report: 100 KiB
  store_->set_event_quota(350 * 1024);
  std::vector<int64_t> large, small;
  for (int i = 0; i < 5; i++) {
    large.push_back(store_->add_event("m1", "directory_tree", big, i));
    small.push_back(store_->add_event("m1", "imaging_progress", "{\"part\":1}", i));
  }
  store_->add_event("m2", "directory_tree", big, 9);  // other machines have their own quota
  EXPECT_LE(store_->event_bytes("m1"), 350u * 1024);
  std::vector<int64_t> kept_large, kept_small;
  for (const StoredEvent& e : store_->events_after("m1", 0, 100))
    (e.size == big.size() ? kept_large : kept_small).push_back(e.seq);
  EXPECT_EQ(kept_large, std::vector<int64_t>(large.end() - 3, large.end()));
  EXPECT_EQ(kept_small, small);
  EXPECT_EQ(store_->events_after("m2", 0, 100).size(), 1u);

  // Small events alone past the quota: the oldest go, whatever their size.
  store_->set_event_quota(100);
  reopen();  // the byte count is rebuilt from the database
  store_->set_event_quota(100);
  for (int i = 0; i < 20; i++)
    store_->add_event("m3", "imaging_progress", "{\"part\":" + std::to_string(i) + "}", i);
  EXPECT_LE(store_->event_bytes("m3"), 100u);
  EXPECT_EQ(store_->events_after("m3", 0, 100).back().data, "{\"part\":19}");
}

TEST_F(StoreTest, EventPagesKeepToTheirByteBudget) {
  std::vector<int64_t> seqs;
  for (size_t size : {100, 100, 1000, 100, 5000, 100})
    seqs.push_back(store_->add_event("m1", "e", std::string(size, 'b'), 1));
  struct Case {
    int64_t after;
    uint64_t budget;
    std::vector<int64_t> want;
    bool more;
  } cases[] = {
      {0, 250, {seqs[0], seqs[1]}, true},
      {seqs[1], 250, {seqs[2]}, true},  // larger than the budget: alone, whole
      {seqs[2], 5000, {seqs[3]}, true},
      {seqs[3], 100, {seqs[4]}, true},
      {seqs[4], 100, {seqs[5]}, false},
      {0, UINT64_MAX, seqs, false},
  };
  for (const Case& c : cases) {
    bool more = !c.more;
    std::vector<int64_t> got;
    for (const StoredEvent& e : store_->events_after("m1", c.after, 100, c.budget, &more)) {
      EXPECT_EQ(e.data.size(), e.size);
      got.push_back(e.seq);
    }
    EXPECT_EQ(got, c.want) << "after " << c.after << ", budget " << c.budget;
    EXPECT_EQ(more, c.more) << "after " << c.after << ", budget " << c.budget;
  }
  // The dashboard's reading: only a prefix of each payload.
  std::vector<StoredEvent> recent = store_->recent_events(2, 10);
  ASSERT_EQ(recent.size(), 2u);
  EXPECT_EQ(recent[1].data, std::string(10, 'b'));
  EXPECT_EQ(recent[1].size, 5000u);
}

TEST_F(StoreTest, EventsOfAnOlderDatabaseGetTheirSizes) {
  ASSERT_NO_FATAL_FAILURE(old_database(
      dir_.file("old.db"),
      "CREATE TABLE events(seq INTEGER PRIMARY KEY AUTOINCREMENT, machine_id TEXT NOT NULL, "
      "name TEXT NOT NULL, data TEXT NOT NULL, at INTEGER NOT NULL);"
      "INSERT INTO events(machine_id, name, data, at) VALUES('m1', 'disk_list', "
      "'{\"d\":\"\xC3\xA9\"}', 7);"));
  ASSERT_NO_FATAL_FAILURE(reopen("old.db"));
  std::vector<StoredEvent> events = store_->events_after("m1", 0, 10);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].data, "{\"d\":\"\xC3\xA9\"}");
  EXPECT_EQ(events[0].size, 10u);  // bytes, not characters
  EXPECT_EQ(events[0].at, 7);
  EXPECT_GT(store_->add_event("m1", "disk_list", "{}", 8), events[0].seq);
}

TEST_F(StoreTest, StateSurvivesReopening) {
  std::string error;
  ASSERT_TRUE(store_->add_user("alice", "h", &error));
  ASSERT_TRUE(store_->put_pending(pending_pair("ABC234", "m1", 5000)));
  ASSERT_TRUE(
      store_->bind_machine(*store_->pending("ABC234", 0), store_->find_user("alice")->id, 1));
  ASSERT_TRUE(store_->revoke("m1"));
  int64_t seq = store_->add_event("m1", "disk_list", "{}", 1);
  reopen();
  EXPECT_TRUE(store_->find_user("alice"));
  ASSERT_TRUE(store_->machine("m1"));
  EXPECT_TRUE(store_->machine("m1")->revoked);
  // Sequence numbers are never reused, even after a restart.
  EXPECT_GT(store_->add_event("m1", "disk_list", "{}", 2), seq);
}

// A database of a server from before parts knew their batch: its parts stay
// readable, with no batch, and take one when written again.
TEST_F(StoreTest, PartsOfAnOlderDatabaseGainTheirBatch) {
  ASSERT_NO_FATAL_FAILURE(old_database(dir_.file("old.db"), R"sql(
    CREATE TABLE image_parts(image_id INTEGER NOT NULL, part_number INTEGER NOT NULL,
      total_chunks INTEGER NOT NULL, compressed TEXT NOT NULL, original_size INTEGER NOT NULL,
      done INTEGER NOT NULL DEFAULT 0, bytes INTEGER NOT NULL DEFAULT 0, failed_batch TEXT NOT NULL DEFAULT '',
      error TEXT NOT NULL DEFAULT '', PRIMARY KEY(image_id, part_number));
    INSERT INTO image_parts VALUES(7, 2, 3, 'hximg', 1000, 1, 1000, '', '');)sql"));

  for (int open = 0; open < 2; open++) {  // the second open finds the column there
    ASSERT_NO_FATAL_FAILURE(reopen("old.db"));
    std::optional<ImagePart> part = store_->image_part(7, 2);
    ASSERT_TRUE(part);
    EXPECT_EQ(part->batch_id, open == 0 ? "" : "20250131140509");
    EXPECT_TRUE(part->done);
    EXPECT_EQ(part->compressed, "hximg");
    part->batch_id = "20250131140509";
    ASSERT_TRUE(store_->put_image_part(*part));
  }
}

TEST(StoreOpenTest, ReportsAnUnopenableFile) {
  std::string error;
  EXPECT_FALSE(Store::open("/nonexistent-dir/x/server.db", &error));
  EXPECT_EQ(error.rfind("open database /nonexistent-dir/x/server.db: ", 0), 0u) << error;
}

}  // namespace
}  // namespace halvex::server
