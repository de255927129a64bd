// Physical disks from sysfs-like fixture trees laid out as the kernel lays
// them out (block/<name> links into devices/..., device links to the
// controller's folder), the disk-number resolver, and the disk size.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>

#include "core/log.h"
#include "disk/disk.h"
#include "disk/disk_path.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

// One block device in the fixture, laid out below devices/.
struct FixtureDisk {
  const char* name;
  std::string block_dir;  // the device's own folder; block/<name> links here
  std::string attr_dir;   // where block/<name>/device points; "" for none
  const char* vendor;     // nullptr: no such file
  const char* model;
  const char* size;
};

const std::string kPci = "pci0000:00/";

const FixtureDisk kDisks[] = {
    {"sda", kPci + "0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda",
     kPci + "0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0", "ATA     ",
     "Samsung SSD 860 EVO 500GB\n", "976773168\n"},
    {"sdb", kPci + "0000:00:14.0/usb1/1-2/1-2:1.0/host6/target6:0:0/6:0:0:0/block/sdb",
     kPci + "0000:00:14.0/usb1/1-2/1-2:1.0/host6/target6:0:0/6:0:0:0", "SanDisk \n",
     "Cruzer Blade    \n", "60000000\n"},
    {"nvme0n1", kPci + "0000:00:1d.0/0000:3d:00.0/nvme/nvme0/nvme0n1",
     kPci + "0000:00:1d.0/0000:3d:00.0/nvme/nvme0", nullptr,
     "Samsung SSD 970 EVO Plus 1TB            \n", "1953525168\n"},
    {"vda", kPci + "0000:00:02.0/virtio1/block/vda", kPci + "0000:00:02.0/virtio1", "0x1af4\n",
     nullptr, "536870912\n"},
    // virtio-scsi, with a blank vendor and model.
    {"sdc", kPci + "0000:00:03.0/virtio0/host2/target2:0:0/2:0:0:2/block/sdc",
     kPci + "0000:00:03.0/virtio0/host2/target2:0:0/2:0:0:2", "        \n", "   \n", ""},
    {"mmcblk0", kPci + "0000:00:1e.6/mmc_host/mmc0/mmc0:0001/block/mmcblk0",
     kPci + "0000:00:1e.6/mmc_host/mmc0/mmc0:0001", nullptr, nullptr, "62333952\n"},
    {"md0", "virtual/block/md0", "", nullptr, nullptr, "12abc\n"},
    {"loop0", "virtual/block/loop0", "", nullptr, nullptr, "0\n"},
    {"loop12", "virtual/block/loop12", "", nullptr, nullptr, "0\n"},
    {"ram0", "virtual/block/ram0", "", nullptr, nullptr, "8192\n"},
    {"zram0", "virtual/block/zram0", "", nullptr, nullptr, "8192\n"},
};

// <tmp>/sys and <tmp>/dev with the disks above.
class SysfsFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.path().empty());
    roots_.sysfs = dir_.file("sys");
    roots_.dev = dir_.file("dev");
    fs::create_directories(roots_.sysfs + "/block");
    fs::create_directories(roots_.dev);
    for (const FixtureDisk& disk : kDisks) add_disk(disk);
  }

  void add_disk(const FixtureDisk& disk) {
    std::string devices = roots_.sysfs + "/devices/";
    std::string block_dir = devices + disk.block_dir;
    fs::create_directories(block_dir);
    write_file(block_dir + "/size", disk.size);
    // /sys/block/<name> -> ../devices/..., as the kernel links it.
    fs::create_directory_symlink("../devices/" + disk.block_dir,
                                 roots_.sysfs + "/block/" + disk.name);
    if (!disk.attr_dir.empty()) {
      std::string attrs = devices + disk.attr_dir;
      fs::create_directory_symlink(fs::relative(attrs, block_dir), block_dir + "/device");
      if (disk.vendor != nullptr) write_file(attrs + "/vendor", disk.vendor);
      if (disk.model != nullptr) write_file(attrs + "/model", disk.model);
    }
    write_file(roots_.dev + "/" + disk.name, "");
  }

  TempDir dir_;
  DeviceRoots roots_;
};

TEST_F(SysfsFixture, ListsWholeDisksInNameOrder) {
  struct Want {
    const char* name;
    const char* model;  // "" means the path
    uint64_t size;
    const char* size_str;
    const char* raw;
    const char* bus_class;
  };
  const Want want[] = {
      {"md0", "", 0, "0 B", "Virtual", "other"},
      {"mmcblk0", "", 31914983424ull, "29.7 GB", "SD", "other"},
      {"nvme0n1", "Samsung SSD 970 EVO Plus 1TB", 1000204886016ull, "931.5 GB", "NVMe", "nvme"},
      {"sda", "Samsung SSD 860 EVO 500GB", 500107862016ull, "465.8 GB", "SATA", "sata"},
      {"sdb", "SanDisk Cruzer Blade", 30720000000ull, "28.6 GB", "USB", "usb"},
      {"sdc", "", 0, "0 B", "SCSI", "other"},
      {"vda", "", 274877906944ull, "256.0 GB", "Virtio", "other"},
  };
  Json reply = disk_list_disks_reply(roots_);
  const cJSON* disks = json_get(reply.get(), "disks");
  Json expected_list = json_array();
  for (size_t i = 0; i < std::size(want); i++) {
    const Want& w = want[i];
    std::string path = roots_.dev + "/" + w.name;
    PhysicalDisk disk{static_cast<int>(i), path, w.model, w.size, w.raw};
    Json entry = disk_entry_json(disk);
    EXPECT_EQ(json_get_string(entry.get(), "size_str"), w.size_str) << w.name;
    EXPECT_EQ(json_get_string(entry.get(), "bus_type"), w.bus_class) << w.name;
    EXPECT_EQ(json_get_bool(entry.get(), "removable"), std::string(w.raw) == "USB") << w.name;
    EXPECT_EQ(json_get_string(entry.get(), "model"), *w.model ? w.model : path) << w.name;
    json_append(expected_list.get(), std::move(entry));
  }
  EXPECT_EQ(json_print(disks), json_print(expected_list.get()));
}

TEST_F(SysfsFixture, MissingSysfsGivesEmptyListAndTheFailureLine) {
  TempDir logs;
  log_open(logs.file("service.log"));
  DeviceRoots missing = roots_;
  missing.sysfs = dir_.file("no-such-sys");
  EXPECT_EQ(json_print(disk_list_disks_reply(missing).get()), "{\"disks\":[]}");
  disk_list_disks_reply(roots_);
  log_close();
  std::string log = read_file(logs.file("service.log"));
  const char* lines[] = {"INFO ] disk: listing disks\n",
                         "ERROR] disk: PowerShell Get-Disk failed\n",
                         "INFO ] disk: found 0 disk(s)\n", "INFO ] disk: listing disks\n",
                         "INFO ] disk: found 7 disk(s)\n"};
  size_t at = 0;
  for (const char* line : lines) {
    at = log.find(line, at);
    ASSERT_NE(at, std::string::npos) << line << " in\n" << log;
  }
}

TEST_F(SysfsFixture, ResolvesDiskNumbersAndPhysicalDrivePaths) {
  const std::pair<int, std::optional<std::string>> numbers[] = {
      {0, roots_.dev + "/md0"}, {3, roots_.dev + "/sda"}, {4, roots_.dev + "/sdb"},
      {6, roots_.dev + "/vda"}, {7, std::nullopt},        {-1, std::nullopt},
  };
  for (const auto& [number, path] : numbers)
    EXPECT_EQ(disk_device_path(number, roots_), path) << number;

  const std::pair<std::string, std::optional<std::string>> paths[] = {
      {"\\\\.\\PHYSICALDRIVE4", roots_.dev + "/sdb"},
      {"\\\\.\\physicaldrive2", roots_.dev + "/nvme0n1"},
      {"\\\\.\\PHYSICALDRIVE7", std::nullopt},
      {"/srv/images/disk.img", "/srv/images/disk.img"},
      {"", std::nullopt},
  };
  for (const auto& [path, device] : paths)
    EXPECT_EQ(disk_resolve_device(path, roots_), device) << path;

  // The size of disk 4 is the size of what disk 4 names: here a stand-in file.
  write_file(roots_.dev + "/sdb", std::string(4096, 'x'));
  write_file(roots_.dev + "/sda", std::string(10, 'x'));
  EXPECT_EQ(get_disk_size("\\\\.\\PHYSICALDRIVE4", roots_), 4096u);
  EXPECT_EQ(get_disk_size("\\\\.\\PHYSICALDRIVE3", roots_), 10u);
  EXPECT_EQ(get_disk_size("\\\\.\\PHYSICALDRIVE7", roots_), 0u);
}

TEST(DiskSizeTest, FilesAndThingsThatAreNotDisks) {
  TempDir dir;
  write_file(dir.file("image.img"), std::string(123457, 'z'));
  write_file(dir.file("empty.img"), "");
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);  // must not block
  fs::create_directory_symlink(dir.file("folder"), dir.file("dangling"));
  fs::create_directory(dir.file("folder"));
  fs::create_symlink(dir.file("image.img"), dir.file("link.img"));
  const std::pair<std::string, uint64_t> cases[] = {
      {dir.file("image.img"), 123457},
      {dir.file("link.img"), 123457},
      {dir.file("empty.img"), 0},
      {dir.file("fifo"), 0},
      {dir.file("folder"), 0},
      {dir.file("missing"), 0},
      {"/dev/null", 0},
      {"", 0},
  };
  for (const auto& [path, size] : cases) EXPECT_EQ(get_disk_size(path), size) << path;
}

// Attaches an image file to a free loop device, detaching it again when
// destroyed. path() is empty when the system offers no loop device to us.
class LoopDevice {
 public:
  explicit LoopDevice(const std::string& image) {
    int control = ::open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    if (control < 0) return;
    int number = ::ioctl(control, LOOP_CTL_GET_FREE);
    ::close(control);
    if (number < 0) return;
    std::string path = "/dev/loop" + std::to_string(number);
    int file = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file >= 0 && fd_ >= 0 && ::ioctl(fd_, LOOP_SET_FD, file) == 0) path_ = path;
    if (file >= 0) ::close(file);
  }
  ~LoopDevice() {
    if (!path_.empty()) ::ioctl(fd_, LOOP_CLR_FD, 0);
    if (fd_ >= 0) ::close(fd_);
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

// A real block device is asked for its length (BLKGETSIZE64): a loop
// device over an image, skipped where loop devices can't be attached.
TEST(DiskSizeTest, RealBlockDevice) {
  TempDir dir;
  const uint64_t size = 3 * 1024 * 1024 + 512 * 7;
  write_file(dir.file("disk.img"), "");
  fs::resize_file(dir.file("disk.img"), size);
  LoopDevice loop(dir.file("disk.img"));
  if (loop.path().empty()) GTEST_SKIP() << "no loop device can be attached here";
  struct stat st;
  ASSERT_EQ(::stat(loop.path().c_str(), &st), 0);
  ASSERT_TRUE(S_ISBLK(st.st_mode));
  EXPECT_EQ(get_disk_size(loop.path()), size);
  // A node of the same device elsewhere (as under a moved /dev root).
  std::string node = dir.file("node");
  if (::mknod(node.c_str(), S_IFBLK | 0600, st.st_rdev) == 0) {
    EXPECT_EQ(get_disk_size(node), size);
  }
}

}  // namespace
}  // namespace halvex
