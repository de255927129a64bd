#include "service/config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <regex>
#include <set>
#include <thread>

#include "core/json.h"
#include "platform/system.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

using testing::read_file;
using testing::TempDir;
using testing::write_file;

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    init_data_paths_from(data_.path() + "/Halvex Service Native", install_.path());
  }
  std::string conf() { return config_path(); }
  void save(const char* name, const char* value) {
    Json u = json_object();
    json_add_string(u.get(), name, value);
    ASSERT_TRUE(config_save(u.get()));
  }
  TempDir data_, install_;
};

TEST_F(ConfigTest, FirstMachineIdIsCreatedAndStored) {
  EXPECT_EQ(get_data_dir(), data_.path() + "/Halvex Service Native");
  EXPECT_FALSE(config_load());

  std::string id = get_machine_id();
  EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{12}"))) << id;
  EXPECT_EQ(get_machine_id(), id);
  EXPECT_EQ(read_file(conf()), "{\"machine_id\":\"" + id + "\"}");

  config_delete();
  EXPECT_FALSE(std::filesystem::exists(conf()));
  EXPECT_NE(get_machine_id(), id);
}

TEST_F(ConfigTest, MergeKeepsOtherMembersAndMovesReplacedToEnd) {
  write_file(conf(), R"({"machine_id":"abc","Private_Key":"k1","extra":[1,2],"username":"old"})");
  save("username", "new");
  save("private_key", "k2");  // replaces "Private_Key": names match without case
  EXPECT_EQ(read_file(conf()),
            R"({"machine_id":"abc","extra":[1,2],"username":"new","private_key":"k2"})");
  // No temporary file is left beside it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(get_data_dir()), {}), 1);
}

TEST_F(ConfigTest, UnusableFilesReadAsAbsentAndAreReplaced) {
  const std::string too_big = "{\"machine_id\":\"" + std::string(10 * 1024 * 1024, 'a') + "\"}";
  for (const std::string& bad : {std::string(), std::string("{not json"), too_big}) {
    write_file(conf(), bad);
    EXPECT_FALSE(config_load());
    save("username", "u");
    EXPECT_EQ(read_file(conf()), R"({"username":"u"})");
  }
  // A file of exactly 10 MiB is still read.
  std::string exact = "{\"a\":\"" + std::string(10 * 1024 * 1024 - 8, 'x') + "\"}";
  ASSERT_EQ(exact.size(), 10u * 1024 * 1024);
  write_file(conf(), exact);
  EXPECT_TRUE(config_load());
}

// Names match without case, so a variant left behind would shadow the new
// value and the machine id would change between calls.
TEST_F(ConfigTest, CaseVariantsNeverShadowASavedMember) {
  write_file(conf(), R"({"machine_id":1,"MACHINE_ID":"old","username":"a","USERNAME":"b"})");
  std::string id = get_machine_id();
  EXPECT_EQ(get_machine_id(), id);
  EXPECT_EQ(get_machine_id(), id);
  save("username", "new");
  EXPECT_EQ(json_get_string(config_load().get(), "username"), "new");
}

TEST_F(ConfigTest, MachineIdRules) {
  write_file(conf(), R"({"machine_id":"0123456789abcdefXYZ"})");
  EXPECT_EQ(get_machine_id(), "0123456789abcde");             // 15 characters at most
  write_file(conf(), R"({"machine_id":42,"username":"u"})");  // wrong type counts as missing
  std::string id = get_machine_id();
  EXPECT_EQ(id.size(), 12u);
  EXPECT_EQ(read_file(conf()), R"({"username":"u","machine_id":")" + id + "\"}");
}

TEST_F(ConfigTest, CopyInFromBesideTheExecutableOnlyWhenAbsent) {
  TempDir data2;
  std::string dir = data2.path() + "/d";
  write_file(install_.file("halvex_service.conf"), R"({"machine_id":"feedfeedfeed"})");
  init_data_paths_from(dir, install_.path());
  EXPECT_EQ(get_machine_id(), "feedfeedfeed");

  save("machine_id", "aaaaaaaaaaaa");
  init_data_paths_from(dir, install_.path());  // data folder has its own file now
  EXPECT_EQ(get_machine_id(), "aaaaaaaaaaaa");

  config_delete();
  init_data_paths_from(dir, install_.path());  // deleted: copied in again
  EXPECT_EQ(get_machine_id(), "feedfeedfeed");
}

TEST_F(ConfigTest, ConcurrentMergesLoseNothing) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++) {
    threads.emplace_back([t] {
      for (int i = 0; i < 20; i++) {
        Json u = json_object();
        json_add_number(u.get(), ("m" + std::to_string(t * 100 + i)).c_str(), i);
        config_save(u.get());
      }
    });
  }
  // Machine-id reads race with the merges and must all agree.
  std::set<std::string> ids;
  for (int i = 0; i < 20; i++) ids.insert(get_machine_id());
  for (auto& th : threads) th.join();
  EXPECT_EQ(ids.size(), 1u);
  Json all = config_load();
  ASSERT_TRUE(all);
  for (int t = 0; t < 8; t++)
    for (int i = 0; i < 20; i++)
      EXPECT_TRUE(json_has(all.get(), ("m" + std::to_string(t * 100 + i)).c_str()));
  EXPECT_EQ(json_get_string(all.get(), "machine_id"), *ids.begin());
}

TEST_F(ConfigTest, FolderThatCantBeMadeFallsBackToTheExecutablesFolder) {
  // A folder that can't exist (its parent is a file) fails even for root.
  write_file(data_.file("plain-file"), "x");
  init_data_paths_from(data_.file("plain-file") + "/data", install_.path());
  EXPECT_EQ(get_data_dir(), install_.path());
  std::string id = get_machine_id();
  EXPECT_EQ(get_machine_id(), id);
  EXPECT_TRUE(std::filesystem::exists(install_.file("halvex_service.conf")));

  // Nowhere to write at all: nothing sticks, silently.
  init_data_paths_from(data_.file("plain-file") + "/data", data_.file("plain-file"));
  Json u = json_object();
  json_add_string(u.get(), "username", "u");
  EXPECT_FALSE(config_save(u.get()));
  EXPECT_NE(get_machine_id(), get_machine_id());
}

}  // namespace
}  // namespace halvex
