// The tree builder on hand-made FAT32 and exFAT volumes: a sparse disk in
// memory holds only the sectors a case writes; every other byte reads as 0.

#include "scan/fs_tree.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace halvex {
namespace {

using Bytes32 = std::vector<uint8_t>;

void put16(uint8_t* p, uint16_t v) { p[0] = static_cast<uint8_t>(v); p[1] = static_cast<uint8_t>(v >> 8); }
void put32(uint8_t* p, uint32_t v) { put16(p, static_cast<uint16_t>(v)); put16(p + 2, static_cast<uint16_t>(v >> 16)); }
void put64(uint8_t* p, uint64_t v) { put32(p, static_cast<uint32_t>(v)); put32(p + 4, static_cast<uint32_t>(v >> 32)); }

// Bytes written at chosen offsets; reads beyond `size` fail.
class SparseDisk {
 public:
  explicit SparseDisk(uint64_t size) : size_(size) {}
  void write(uint64_t offset, const uint8_t* data, uint64_t length) {
    for (uint64_t i = 0; i < length; i++) bytes_[offset + i] = data[i];
  }
  void write(uint64_t offset, const Bytes32& data) { write(offset, data.data(), data.size()); }
  FsReadAt reader(uint64_t fail_from = UINT64_MAX, uint64_t fail_to = 0) const {
    return [this, fail_from, fail_to](uint64_t offset, uint8_t* buf, uint64_t length) {
      if (offset > size_ || length > size_ - offset) return false;
      if (offset < fail_to && offset + length > fail_from) return false;
      std::memset(buf, 0, length);
      for (auto it = bytes_.lower_bound(offset); it != bytes_.end() && it->first < offset + length; ++it)
        buf[it->first - offset] = it->second;
      return true;
    };
  }
  uint64_t size() const { return size_; }

 private:
  uint64_t size_;
  std::map<uint64_t, uint8_t> bytes_;
};

// ---- FAT32 ----

// 512-byte sectors and clusters, 32 reserved sectors, one FAT of 520
// sectors, root at cluster 2, 65600 clusters by the disk size.
struct Fat32Image {
  static constexpr uint64_t kSector = 512, kReserved = 32, kFatSectors = 520;
  static constexpr uint64_t kData = (kReserved + kFatSectors) * kSector;
  SparseDisk disk{kData + 65600 * kSector};

  Fat32Image() {
    uint8_t boot[512] = {0xEB, 0x58, 0x90};
    std::memcpy(boot + 3, "MSWIN4.1", 8);
    put16(boot + 11, kSector);
    boot[13] = 1;
    put16(boot + 14, kReserved);
    boot[16] = 1;
    put32(boot + 36, kFatSectors);
    put32(boot + 44, 2);
    boot[510] = 0x55;
    boot[511] = 0xAA;
    disk.write(0, boot, 512);
    link(2, 0x0FFFFFFF);
  }
  void link(uint32_t cluster, uint32_t next) {
    uint8_t v[4];
    put32(v, next);
    disk.write(kReserved * kSector + 4 * uint64_t{cluster}, v, 4);
  }
  // Writes entries from the start of `cluster` (16 fit in one).
  void dir(uint32_t cluster, const std::vector<Bytes32>& entries) {
    uint64_t at = kData + (cluster - 2) * kSector;
    for (const Bytes32& e : entries) {
      disk.write(at, e);
      at += 32;
    }
  }
  FsTree tree() const { return build_fs_tree(disk.reader(), disk.size()); }
};

Bytes32 short_entry(const char* name11, uint8_t attr, uint32_t cluster, uint32_t size = 0) {
  Bytes32 e(32, 0);
  std::memcpy(e.data(), name11, 11);
  e[11] = attr;
  put16(&e[20], static_cast<uint16_t>(cluster >> 16));
  put16(&e[26], static_cast<uint16_t>(cluster));
  put32(&e[28], size);
  return e;
}

// The long-name entries of `name` (UTF-16 units) in on-disk order, last part first.
std::vector<Bytes32> long_entries(const std::u16string& name) {
  std::vector<Bytes32> parts;
  static const int kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  size_t count = (name.size() + 12) / 13;
  for (size_t n = count; n >= 1; n--) {
    Bytes32 e(32, 0);
    e[0] = static_cast<uint8_t>(n | (n == count ? 0x40 : 0));
    e[11] = 0x0F;
    for (size_t k = 0; k < 13; k++) {
      size_t i = 13 * (n - 1) + k;
      uint16_t unit = i < name.size() ? name[i] : (i == name.size() ? 0 : 0xFFFF);
      put16(&e[kOffsets[k]], unit);
    }
    parts.push_back(e);
  }
  return parts;
}

std::vector<Bytes32> long_file(const std::u16string& name, const char* name11, uint8_t attr,
                               uint32_t cluster, uint32_t size = 0) {
  std::vector<Bytes32> out = long_entries(name);
  out.push_back(short_entry(name11, attr, cluster, size));
  return out;
}

std::vector<Bytes32> concat(std::initializer_list<std::vector<Bytes32>> parts) {
  std::vector<Bytes32> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::vector<std::string> paths(const FsTree& tree) {
  std::vector<std::string> out;
  for (const FsEntry& e : tree.entries) out.push_back(e.path + (e.is_dir ? "/" : ""));
  return out;
}

using Paths = std::vector<std::string>;

TEST(FsTreeFat32, NamesPathsAndDepthFirstOrder) {
  Fat32Image img;
  img.dir(2, concat({
                 {short_entry("TESTVOL    ", 0x08, 0)},
                 {short_entry("README  TXT", 0x20, 0, 1234)},
                 {short_entry("DCIM       ", 0x10, 3)},
                 long_file(u"A very long file name here.jpeg", "AVERYL~1JPE", 0x20, 0, 7),
                 long_file(u"Short.mp4", "SHORT   MP4", 0x20, 0, 8),
                 long_file(u"caf\u00e9 \u65e5.txt", "CAF~1   TXT", 0x20, 0, 9),
                 {short_entry("\xE5OST    TXT", 0x20, 0)},  // deleted
                 {short_entry("..ABC      ", 0x20, 0)},
             }));
  img.dir(3, {short_entry(".          ", 0x10, 3), short_entry("..         ", 0x10, 0),
              short_entry("100MSDCF   ", 0x10, 4), short_entry("LAST    TXT", 0x20, 0)});
  img.dir(4, {short_entry("DSC00001JPG", 0x20, 70000, 5000000)});
  img.link(3, 0x0FFFFFFF);
  img.link(4, 0x0FFFFFF8);
  FsTree tree = img.tree();
  EXPECT_EQ(tree.fs_type, "fat32");
  EXPECT_EQ(paths(tree), (Paths{"/README.TXT", "/DCIM/", "/DCIM/100MSDCF/", "/DCIM/100MSDCF/DSC00001.JPG",
                                "/DCIM/LAST.TXT", "/A very long file name here.jpeg", "/Short.mp4",
                                "/caf? ?.txt", "/..ABC"}));
  ASSERT_EQ(tree.entries.size(), 9u);
  EXPECT_EQ(tree.entries[0].size, 1234u);
  EXPECT_EQ(tree.entries[1].name, "DCIM");
  EXPECT_EQ(tree.entries[1].cluster, 3u);
  EXPECT_EQ(tree.entries[3].cluster, 70000u);  // high word counts
  EXPECT_EQ(tree.entries[3].size, 5000000u);
  EXPECT_EQ(tree.entries[6].name, "Short.mp4");
}

TEST(FsTreeFat32, DirectoryChainFollowsTheFat) {
  Fat32Image img;
  std::vector<Bytes32> first(16, short_entry("A          ", 0x20, 0));
  img.dir(2, first);
  img.dir(9, {short_entry("B          ", 0x20, 0)});
  img.link(2, 9);
  img.link(9, 0x0FFFFFFF);
  EXPECT_EQ(img.tree().entries.size(), 17u);
  // Without a FAT only the first cluster is read.
  FsTree no_fat = build_fs_tree(img.disk.reader(Fat32Image::kReserved * 512, Fat32Image::kData),
                                img.disk.size());
  EXPECT_EQ(no_fat.entries.size(), 16u);
}

TEST(FsTreeFat32, LoopsEndAtOnce) {
  Fat32Image img;
  // The root's chain loops 2 -> 3 -> 2; LOOP points at the root, SUB/BACK at SUB.
  img.link(2, 3);
  img.link(3, 2);
  std::vector<Bytes32> root(15, short_entry("FILE    TXT", 0x20, 0));
  root.push_back(short_entry("LOOP       ", 0x10, 2));
  img.dir(2, root);
  std::vector<Bytes32> second(16, short_entry("\xE5ONE    TXT", 0x20, 0));  // deleted: no end mark
  second[0] = short_entry("SUB        ", 0x10, 5);
  img.dir(3, second);
  img.dir(5, {short_entry("BACK       ", 0x10, 5), short_entry("UP         ", 0x10, 2),
              short_entry("MID        ", 0x10, 3)});
  img.link(5, 0x0FFFFFFF);
  FsTree tree = img.tree();
  EXPECT_EQ(tree.entries.size(), 15u + 5u);
  EXPECT_EQ(paths(tree).back(), "/SUB/MID/");
}

TEST(FsTreeFat32, DepthLimitListsButDoesNotRead) {
  Fat32Image img;
  // Folder D at cluster 10 + k holds folder D at cluster 11 + k, 30 deep.
  img.dir(2, {short_entry("D          ", 0x10, 10)});
  for (uint32_t k = 0; k < 30; k++) {
    img.dir(10 + k, {short_entry("D          ", 0x10, 11 + k)});
    img.link(10 + k, 0x0FFFFFFF);
  }
  FsTree tree = img.tree();
  ASSERT_EQ(tree.entries.size(), 17u);  // read at depths 0 to 16
  EXPECT_EQ(tree.entries.back().path, "/D/D/D/D/D/D/D/D/D/D/D/D/D/D/D/D/D");
}

TEST(FsTreeFat32, VolumesThatAreNotListed) {
  struct Case {
    const char* name;
    uint64_t offset;
    std::vector<uint8_t> bytes;
    uint64_t disk_size;
  } cases[] = {
      {"too few clusters by the disk size", 0, {}, (Fat32Image::kData / 512 + 65525) * 512},
      {"no 55 AA", 510, {0x55, 0x00}, 0},
      {"bytes per sector 256", 11, {0x00, 0x01}, 0},
      {"sectors per cluster 0", 13, {0}, 0},
      {"root entry count 512", 17, {0x00, 0x02}, 0},
      {"FAT size 0", 36, {0, 0, 0, 0}, 0},
      // A partition table: zero boot code, so bytes per sector reads 0.
      {"partition table", 0, std::vector<uint8_t>(446, 0), 0},
  };
  for (const Case& k : cases) {
    Fat32Image img;
    img.dir(2, {short_entry("README  TXT", 0x20, 0)});
    if (!k.bytes.empty()) img.disk.write(k.offset, k.bytes);
    FsTree tree = build_fs_tree(img.disk.reader(), k.disk_size != 0 ? k.disk_size : img.disk.size());
    EXPECT_EQ(tree.fs_type, "") << k.name;
    EXPECT_TRUE(tree.entries.empty()) << k.name;
  }
  EXPECT_TRUE(build_fs_tree(Fat32Image().disk.reader(0, 512), 1 << 30).entries.empty());
}

// A crafted volume: every cluster is a folder of 16 subfolders pointing at
// other clusters, so that every cluster is reachable. The list stops at
// 1,000,000 entries, each cluster read once.
TEST(FsTreeFat32, EntryCapOnACraftedVolume) {
  Fat32Image img;
  const uint64_t data = Fat32Image::kData, count = 65600;
  uint64_t reads = 0;
  FsReadAt base = img.disk.reader();
  FsReadAt reader = [&](uint64_t offset, uint8_t* buf, uint64_t length) {
    reads++;
    if (offset < data) return base(offset, buf, length);
    uint32_t cluster = static_cast<uint32_t>((offset - data) / 512 + 2);
    for (uint32_t k = 0; k < 16; k++) {
      char name[12];
      std::snprintf(name, sizeof name, "D%07uX%02u", cluster % 10000000, k);
      uint32_t target = static_cast<uint32_t>((uint64_t{cluster} * 16 + k) % count + 2);
      Bytes32 e = short_entry(name, 0x10, target);
      std::memcpy(buf + 32 * k, e.data(), 32);
    }
    return true;
  };
  FsTree tree = build_fs_tree(reader, img.disk.size());
  EXPECT_EQ(tree.entries.size(), kFsMaxEntries);
  EXPECT_LE(reads, count + 2);
}

// ---- exFAT ----

// By default 512-byte sectors and 4 KiB clusters; heap at sector 64, root at cluster 4.
struct ExfatImage {
  SparseDisk disk{uint64_t{1} << 30};
  uint64_t heap, cluster_bytes;

  explicit ExfatImage(uint8_t sector_shift = 9, uint8_t cluster_shift = 3, uint32_t count = 1000)
      : heap(uint64_t{64} << sector_shift), cluster_bytes(uint64_t{1} << (sector_shift + cluster_shift)) {
    uint8_t boot[512] = {0xEB, 0x76, 0x90};
    std::memcpy(boot + 3, "EXFAT   ", 8);
    put32(boot + 88, 64);
    put32(boot + 92, count);
    put32(boot + 96, 4);
    boot[108] = sector_shift;
    boot[109] = cluster_shift;
    boot[510] = 0x55;
    boot[511] = 0xAA;
    disk.write(0, boot, 512);
  }
  void dir(uint32_t cluster, const std::vector<Bytes32>& entries) {
    uint64_t at = heap + (cluster - 2) * cluster_bytes;
    for (const Bytes32& e : entries) {
      disk.write(at, e);
      at += 32;
    }
  }
  FsTree tree() const { return build_fs_tree(disk.reader(), disk.size()); }
};

std::vector<Bytes32> exfat_file(const std::u16string& name, bool is_dir, uint32_t cluster, uint64_t size) {
  std::vector<Bytes32> out;
  Bytes32 file(32, 0), stream(32, 0);
  file[0] = 0x85;
  file[1] = static_cast<uint8_t>(1 + (name.size() + 14) / 15);
  put16(&file[4], is_dir ? 0x10 : 0x20);
  stream[0] = 0xC0;
  put32(&stream[20], cluster);
  put64(&stream[24], size);
  out.push_back(file);
  out.push_back(stream);
  for (size_t i = 0; i < name.size(); i += 15) {
    Bytes32 part(32, 0);
    part[0] = 0xC1;
    for (size_t k = 0; k < 15 && i + k < name.size(); k++) put16(&part[2 + 2 * k], name[i + k]);
    out.push_back(part);
  }
  return out;
}

Bytes32 exfat_other(uint8_t type) {
  Bytes32 e(32, 0);
  e[0] = type;
  return e;
}

TEST(FsTreeExfat, NamesSizesAndFolders) {
  ExfatImage img;
  img.dir(4, concat({{exfat_other(0x83), exfat_other(0x81), exfat_other(0x82)},
                     exfat_file(u"DCIM", true, 5, 4096),
                     exfat_file(u"twenty-characters.mp", false, 90, 5368709120ull),
                     exfat_file(u"\u00e9t\u00e9.jpg", false, 91, 10),
                     {exfat_other(0x05), exfat_other(0x40), exfat_other(0x41)},  // deleted file
                     exfat_file(u"", false, 92, 10),  // no name: no record
                     exfat_file(u"last", false, 93, 1)}));
  img.dir(5, concat({exfat_file(u"100MSDCF", true, 6, 4096)}));
  img.dir(6, concat({exfat_file(u"DSC00001.JPG", false, 7, 123)}));
  FsTree tree = img.tree();
  EXPECT_EQ(tree.fs_type, "exfat");
  EXPECT_EQ(paths(tree), (Paths{"/DCIM/", "/DCIM/100MSDCF/", "/DCIM/100MSDCF/DSC00001.JPG",
                                "/twenty-characters.mp", "/?t?.jpg", "/last"}));
  ASSERT_EQ(tree.entries.size(), 6u);
  EXPECT_EQ(tree.entries[3].size, 5368709120ull);
  EXPECT_EQ(tree.entries[3].cluster, 90u);
  EXPECT_EQ(tree.entries[5].size, 1u);
}

TEST(FsTreeExfat, OnlyTheFirstClusterAndNoLoops) {
  ExfatImage img;
  std::vector<Bytes32> entries;
  for (int i = 0; i < 50; i++) {  // 3 entries each: 150 > 128 per cluster
    auto f = exfat_file(u"f" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)), false, 0, 0);
    entries.insert(entries.end(), f.begin(), f.end());
  }
  auto loops = concat({exfat_file(u"self", true, 4, 0), exfat_file(u"zero", true, 0, 0),
                       exfat_file(u"beyond", true, 1002, 0), exfat_file(u"inner", true, 8, 0)});
  entries.insert(entries.begin(), loops.begin(), loops.end());
  img.dir(4, entries);
  img.dir(8, concat({exfat_file(u"up", true, 4, 0), exfat_file(u"again", true, 8, 0)}));
  FsTree tree = img.tree();
  // 128 entries per cluster: the 4 folders (12 entries) and 38 whole files
  // plus the file entry and stream of a 39th, whose name lies beyond.
  ASSERT_EQ(tree.entries.size(), 4u + 2u + 38u);
  EXPECT_EQ(tree.entries[4].path, "/inner/up");
}

TEST(FsTreeExfat, BootSectorsThatAreNotExfat) {
  struct Case {
    uint8_t sector_shift, cluster_shift;
    uint32_t count;
  } cases[] = {{13, 3, 1000}, {8, 3, 1000}, {9, 3, 0}, {12, 14, 1000}};
  for (const Case& k : cases) {
    ExfatImage img(k.sector_shift, k.cluster_shift, k.count);
    img.dir(4, exfat_file(u"x", false, 0, 0));
    FsTree tree = img.tree();
    EXPECT_EQ(tree.fs_type, "") << int(k.sector_shift) << " " << int(k.cluster_shift);
    EXPECT_TRUE(tree.entries.empty());
  }
  ExfatImage largest(12, 13, 1000);  // 32 MiB clusters are still listed
  largest.dir(4, exfat_file(u"big", false, 0, 0));
  EXPECT_EQ(paths(largest.tree()), Paths{"/big"});
}

}  // namespace
}  // namespace halvex
