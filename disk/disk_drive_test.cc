// "list_drives" from a fixture mount table and /dev tree, quick access, the
// desktop user's home, and the handlers reached through the dispatcher.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <optional>

#include "disk/disk.h"
#include "disk/disk_test_support.h"
#include "link/proto.h"
#include "platform/dirs.h"
#include "tests/support/event_link.h"
#include "tests/support/eventually.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_pki.h"

namespace halvex {
namespace {

namespace fs = std::filesystem;
using testing::json_text;
using testing::TempDir;
using testing::write_file;

// <tmp>/dev with partitions and by-label links, <tmp>/mnt with mount
// points, and a mount table naming them.
class DriveFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    roots_.dev = dir_.file("dev");
    roots_.mountinfo = dir_.file("mountinfo");
    for (const char* node : {"sda1", "sdb1", "sdc1", "sdd1", "dm-0"})
      write_file(roots_.dev + "/" + node, "");
    fs::create_directories(roots_.dev + "/mapper");
    fs::create_symlink("../dm-0", roots_.dev + "/mapper/vault");
    std::string by_label = roots_.dev + "/disk/by-label/";
    fs::create_directories(by_label);
    fs::create_symlink("../../sda1", by_label + "ROOT");
    fs::create_symlink("../../sdb1", by_label + "My\\x20Stick\\x2fA");  // "My Stick/A"
    fs::create_symlink("../../dm-0", by_label + "VAULT");
    fs::create_symlink("../../sdz9", by_label + "ORPHAN");
    for (const char* point :
         {"mnt/USB STICK", "mnt/data", "mnt/crypt", "mnt/over", "mnt/tab\there"}) {
      fs::create_directories(dir_.file(point));
    }
    write_file(dir_.file("hosts"), "");
  }

  // The mount table, with the mount points below `mnt`. Its last line has
  // no line feed.
  void write_table(const std::string& mnt) {
    const std::string lines[] = {
        "21 26 0:20 / /proc rw,relatime - proc proc rw\n",
        "26 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n",
        "27 26 8:17 / " + mnt + "/USB\\040STICK rw,nosuid shared:2 master:3 - vfat /dev/sdb1 rw\n",
        "28 26 8:33 / " + mnt + "/data rw - ext4 /dev/sdc1 rw\n",
        "29 28 0:40 / " + mnt + "/data rw - tmpfs tmpfs rw\n",
        "30 26 8:1 /etc/hosts " + dir_.path() + "/hosts rw - ext4 /dev/sda1 rw\n",
        "31 26 253:0 / " + mnt + "/crypt rw - ext4 /dev/mapper/vault rw\n",
        "32 26 0:41 / " + mnt + "/over rw - tmpfs tmpfs rw\n",
        "33 32 8:49 / " + mnt + "/over rw - xfs /dev/sdd1 rw\n",
        "34 26 8:50 / " + mnt + "/tab\\011here rw - xfs /dev/sde1 rw\n",
        "35 26 8:51 / " + mnt + "/gone rw - xfs /dev/sdf1 rw\n",
        "nonsense\n",
        "36 26 8:52 / " + mnt + "/short rw -\n",
        "37 26 0:42 / " + mnt + "/net rw - nfs4 server:/export rw",
    };
    std::string table;
    for (const std::string& line : lines) table += line;
    write_file(roots_.mountinfo, table);
  }

  TempDir dir_;
  DeviceRoots roots_;
};

TEST_F(DriveFixture, MountedBlockDevicesWithLabels) {
  std::string mnt = dir_.file("mnt");
  write_table(mnt);
  auto drive = [](const std::string& point, const std::string& label) {
    return "{\"letter\":" + json_text(point) + ",\"label\":" + json_text(label) +
           ",\"path\":" + json_text(point) + "}";
  };
  std::string want = "{\"drives\":[" + drive("/", "ROOT") + "," +
                     drive(mnt + "/USB STICK", "My Stick/A") + "," +
                     drive(mnt + "/crypt", "VAULT") + "," + drive(mnt + "/over", "") + "," +
                     drive(mnt + "/tab\there", "") + "],\"quick_access\":{},\"last_folder\":\"\"}";
  EXPECT_EQ(json_print(disk_list_drives_reply(roots_, "").get()), want);
}

TEST_F(DriveFixture, UnreadableMountTableGivesNoDrives) {
  roots_.mountinfo = dir_.file("no-such-table");
  EXPECT_EQ(json_print(disk_list_drives_reply(roots_, "").get()),
            "{\"drives\":[],\"quick_access\":{},\"last_folder\":\"\"}");
}

TEST(QuickAccessTest, ExistingFoldersInOrder) {
  TempDir home;
  fs::create_directories(home.file("Documents"));
  fs::create_directories(home.file("Desktop"));
  write_file(home.file("Downloads"), "");  // any kind of object counts
  std::string all = "{\"Desktop\":" + json_text(home.file("Desktop")) +
                    ",\"Downloads\":" + json_text(home.file("Downloads")) +
                    ",\"Documents\":" + json_text(home.file("Documents")) + "}";
  EXPECT_EQ(json_print(disk_quick_access(home.path()).get()), all);
  EXPECT_EQ(json_print(disk_quick_access(home.path() + "/").get()), all);

  fs::remove(home.file("Downloads"));
  EXPECT_EQ(json_print(disk_quick_access(home.path()).get()),
            "{\"Desktop\":" + json_text(home.file("Desktop")) +
                ",\"Documents\":" + json_text(home.file("Documents")) + "}");
  EXPECT_EQ(json_print(disk_quick_access(home.file("missing")).get()), "{}");
  EXPECT_EQ(json_print(disk_quick_access("").get()), "{}");
}

// Sets or clears an environment variable for one test, restoring it after.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { old_ ? ::setenv(name_, old_->c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(UserHomeTest, SudoUserThenHome) {
  struct Case {
    const char* sudo_user;
    const char* home;
    const char* want;
  };
  const Case cases[] = {
      {"root", "/home/elsewhere", "/root"},  // through sudo: the invoking user's home
      {"no-such-user-hx", "/home/alice", "/home/alice"},
      {"", "/home/bob", "/home/bob"},
      {nullptr, "/home/carol", "/home/carol"},
      {nullptr, nullptr, "/root"},  // the account's home (tests run as root)
  };
  for (const Case& c : cases) {
    if (c.want == std::string("/root") && ::getuid() != 0 && c.sudo_user == nullptr) continue;
    ScopedEnv sudo("SUDO_USER", c.sudo_user);
    ScopedEnv home("HOME", c.home);
    EXPECT_EQ(dirs_user_home(), c.want) << (c.sudo_user ? c.sudo_user : "(none)");
  }
}

// The handlers are bound to their event names: each event reaches its
// handler through the dispatcher, and its reply comes back over the link.
TEST(DiskHandlersTest, RegisteredUnderTheirEventNames) {
  proto_init();
  disk_register_handlers();
  std::string error;
  std::optional<testing::TestPki> pki = testing::make_test_pki({"localhost"}, &error);
  ASSERT_TRUE(pki) << error;
  {
    testing::EventLink link;
    ASSERT_TRUE(link.start(*pki, &error)) << error;
    for (const char* message : {"{\"e\":\"list_disks\",\"d\":{}}", "{\"e\":\"list_drives\"}",
                                "{\"e\":\"list_directories\",\"d\":{\"path\":\"/\"}}",
                                "{\"e\":\"validate_path\",\"d\":{\"path\":\"/\"}}"}) {
      proto_on_message(message, std::strlen(message));
    }
    auto replies = [&] {
      std::vector<std::string> names = testing::EventLink::names(link.events());
      names.erase(std::remove(names.begin(), names.end(), "heartbeat"), names.end());
      return names;
    };
    const std::vector<std::string> want = {"disk_list", "drive_list", "directory_list",
                                           "path_validated"};
    EXPECT_TRUE(testing::eventually([&] { return replies().size() >= want.size(); }));
    EXPECT_EQ(replies(), want);
  }
  testing::remove_test_pki(*pki);
}

}  // namespace
}  // namespace halvex
