// The tree builder on hand-made FAT32 and exFAT volumes: a sparse disk in
// memory holds only the sectors a case writes; every other byte reads as 0.

#include "scan/fs_tree_testing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/json.h"

namespace halvex {
namespace {

using Bytes32 = std::vector<uint8_t>;

void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  put16(p, static_cast<uint16_t>(v));
  put16(p + 2, static_cast<uint16_t>(v >> 16));
}
void put64(uint8_t* p, uint64_t v) {
  put32(p, static_cast<uint32_t>(v));
  put32(p + 4, static_cast<uint32_t>(v >> 32));
}

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
      for (auto it = bytes_.lower_bound(offset); it != bytes_.end() && it->first < offset + length;
           ++it)
        buf[it->first - offset] = it->second;
      return true;
    };
  }
  uint64_t size() const { return size_; }
  // Directory entries, one after another from `at`.
  void entries(uint64_t at, const std::vector<Bytes32>& list) {
    for (size_t i = 0; i < list.size(); i++) write(at + 32 * i, list[i]);
  }

 private:
  uint64_t size_;
  std::map<uint64_t, uint8_t> bytes_;
};

// ---- FAT32 ----

// One-sector clusters (by default 512 bytes), 32 reserved sectors, one FAT
// of 520 sectors, root at cluster 2, by default 65600 clusters by the disk
// size.
struct Fat32Image {
  static constexpr uint64_t kReserved = 32, kFatSectors = 520;
  static constexpr uint64_t kData = (kReserved + kFatSectors) * 512;  // with 512-byte sectors
  uint64_t sector, data;
  SparseDisk disk;

  explicit Fat32Image(uint64_t clusters = 65600, uint64_t sector_size = 512)
      : sector(sector_size),
        data((kReserved + kFatSectors) * sector_size),
        disk(data + clusters * sector_size) {
    uint8_t boot[512] = {0xEB, 0x58, 0x90};
    std::memcpy(boot + 3, "MSWIN4.1", 8);
    put16(boot + 11, static_cast<uint16_t>(sector));
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
    disk.write(kReserved * sector + 4 * uint64_t{cluster}, v, 4);
  }
  // Writes entries from the start of `cluster` (16 fit in one).
  void dir(uint32_t cluster, const std::vector<Bytes32>& entries) {
    disk.entries(data + (cluster - 2) * sector, entries);
  }
  FsTree tree() const { return list_fs_tree(disk.reader(), disk.size()); }
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
  for (const FsListedEntry& e : tree.entries) out.push_back(e.path + (e.is_dir ? "/" : ""));
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
                 long_entries(u"Deleted by DOS.txt"),       // its short entry only deleted:
                 {short_entry("\xE5OST    TXT", 0x20, 0)},  // not the next file's name
                 {short_entry("..ABC      ", 0x20, 0)},
             }));
  img.dir(3, {short_entry(".          ", 0x10, 3), short_entry("..         ", 0x10, 0),
              short_entry("100MSDCF   ", 0x10, 4), short_entry("LAST    TXT", 0x20, 0)});
  img.dir(4, concat({
                 {short_entry("DSC00001JPG", 0x20, 70000, 5000000)},
                 long_entries(u"An orphan name of two parts"),         // no short entry, and then
                 long_file(u"Thirteen char", "THIRTE~1   ", 0x20, 0),  // a name without a NUL
             }));
  img.link(3, 0x0FFFFFFF);
  img.link(4, 0x0FFFFFF8);
  FsTree tree = img.tree();
  EXPECT_EQ(tree.fs_type, "fat32");
  EXPECT_EQ(paths(tree),
            (Paths{"/README.TXT", "/DCIM/", "/DCIM/100MSDCF/", "/DCIM/100MSDCF/DSC00001.JPG",
                   "/DCIM/100MSDCF/Thirteen char", "/DCIM/LAST.TXT",
                   "/A very long file name here.jpeg", "/Short.mp4", "/caf? ?.txt", "/..ABC"}));
  ASSERT_EQ(tree.entries.size(), 10u);
  EXPECT_EQ(tree.entries[0].size, 1234u);
  EXPECT_EQ(tree.entries[1].name, "DCIM");
  EXPECT_EQ(tree.entries[1].cluster, 3u);
  EXPECT_EQ(tree.entries[3].cluster, 70000u);  // high word counts
  EXPECT_EQ(tree.entries[3].size, 5000000u);
  EXPECT_EQ(tree.entries[7].name, "Short.mp4");
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
  FsTree no_fat = list_fs_tree(img.disk.reader(Fat32Image::kReserved * 512, Fat32Image::kData),
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
    FsTree tree = list_fs_tree(img.disk.reader(), k.disk_size != 0 ? k.disk_size : img.disk.size());
    EXPECT_EQ(tree.fs_type, "") << k.name;
    EXPECT_TRUE(tree.entries.empty()) << k.name;
  }
  EXPECT_TRUE(list_fs_tree(Fat32Image().disk.reader(0, 512), 1 << 30).entries.empty());
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
  FsTree tree = list_fs_tree(reader, img.disk.size());
  EXPECT_EQ(tree.entries.size(), kFsMaxEntries);
  EXPECT_TRUE(tree.capped);
  EXPECT_LE(reads, count + 2);
  // As JSON: the entries that fit 1 MiB, and every entry found is counted.
  FsTreeJson json = build_fs_tree_json(reader, img.disk.size(), 1 << 20);
  EXPECT_TRUE(json.truncated);
  EXPECT_EQ(json.found, kFsMaxEntries);
  EXPECT_GT(json.listed, 1000u);
  EXPECT_LE(json.text.size(), size_t{1} << 20);
  EXPECT_NE(json.text.find(",\"truncated\":true,\"entries_found\":1000000}"), std::string::npos);
}

// 8.3 names are code page 437: bytes from 0x80 come out as UTF-8, a first
// byte 0x05 stands for 0xE5, and "." and ".." are skipped whether padded
// with spaces or NULs.
TEST(FsTreeFat32, ShortNamesAreCodePage437) {
  struct Case {
    const char* name11;
    const char* listed;  // null: not listed
  } cases[] = {
      {"CAF\x82    TXT", "CAF\u00e9.TXT"},
      {"\x80\x9A\xE1\xFF    \xB0\xDB\xFE", "\u00c7\u00dc\u00df\u00a0.\u2591\u2588\u25a0"},
      {"\x05"
       "BC     TXT",
       "\u03c3BC.TXT"},
      {"\x9E\xA9\xEC\xF0\xFB\xFC\xFD\xA0   ", "\u20a7\u2310\u221e\u2261\u221a\u207f\u00b2\u00e1"},
      {"NUL\0\0\0\0\0TXT", "NUL.TXT"},
      {"EXT     \0\0\0", "EXT"},
      {".          ", nullptr},
      {"..         ", nullptr},
      {".\0\0\0\0\0\0\0\0\0\0", nullptr},
      {"..\0\0\0\0\0\0\0\0\0", nullptr},
      {". \0\0\0\0\0\0\0\0\0", nullptr},
  };
  for (const Case& k : cases) {
    Fat32Image img;
    img.dir(2, {short_entry("DIR        ", 0x10, 3)});
    img.dir(3, {short_entry(k.name11, 0x10, 3), short_entry("LAST    TXT", 0x20, 0)});
    img.link(3, 0x0FFFFFFF);
    Paths expected{"/DIR/"};
    if (k.listed != nullptr) expected.push_back(std::string("/DIR/") + k.listed + "/");
    expected.push_back("/DIR/LAST.TXT");
    FsTree tree = img.tree();
    EXPECT_EQ(paths(tree), expected) << (k.listed != nullptr ? k.listed : "(skipped)");
    if (k.listed != nullptr && tree.entries.size() == 3) {
      EXPECT_EQ(tree.entries[1].name, k.listed);
    }
  }
}

// Folders are listed to depth 16, and paths are cut to 511 bytes at a
// character boundary: of 21 nested folders whose names are eleven 3-byte
// characters, 17 are listed, the deepest passing the limit in the middle of
// a character.
TEST(FsTreeFat32, LongPathsAreCutAtACharacter) {
  Fat32Image img;
  const char* name = "\xB0\xB0\xB0\xB0\xB0\xB0\xB0\xB0\xB0\xB0\xB0";  // U+2591, 3 bytes in UTF-8
  img.dir(2, {short_entry(name, 0x10, 10)});
  for (uint32_t k = 0; k < 20; k++) {
    img.dir(10 + k, {short_entry(name, 0x10, 11 + k)});
    img.link(10 + k, 0x0FFFFFFF);
  }
  FsTree tree = img.tree();
  ASSERT_EQ(tree.entries.size(), 17u);  // read at depths 0 to 16
  std::string parent;
  for (const FsListedEntry& e : tree.entries) {
    EXPECT_LE(e.path.size(), 511u);
    EXPECT_EQ(e.path.compare(0, parent.size(), parent), 0) << "under its parent";
    size_t high = 0;  // bytes of the characters after the last ASCII one
    for (char c : e.path) high = static_cast<uint8_t>(c) < 0x80 ? 0 : high + 1;
    EXPECT_EQ(high % 3, 0u) << "whole characters: " << e.path.size() << " bytes";
    parent = e.path;
  }
  EXPECT_GE(tree.entries.back().path.size(), 509u);
}

// On a disk large enough that the cluster count reaches the marks, the bad
// cluster and end-of-chain values still end a chain, and a folder whose
// first cluster is a mark is not read.
TEST(FsTreeFat32, ChainMarksAreNotClusters) {
  const uint64_t clusters = 0x0FFFFFFE;  // the highest cluster number is 0x0FFFFFFF
  for (uint32_t mark : {0x0FFFFFF7u, 0x0FFFFFF8u, 0x0FFFFFFFu}) {
    Fat32Image img(clusters);
    img.link(2, mark);
    std::vector<Bytes32> root(16, short_entry("\xE5ONE    TXT", 0x20, 0));  // deleted: no end mark
    root[0] = short_entry("A       TXT", 0x20, 0);
    root[1] = short_entry("SUB        ", 0x10, mark);
    img.dir(2, root);
    img.dir(mark, {short_entry("BOGUS   TXT", 0x20, 0)});
    EXPECT_EQ(paths(img.tree()), (Paths{"/A.TXT", "/SUB/"})) << std::hex << mark;
  }
}

// 520-byte sectors and clusters are not a whole number of entries, so
// entries span two clusters; the chain is read piece by piece all the same.
TEST(FsTreeFat32, EntriesSpanningClusters) {
  Fat32Image img(65600, 520);
  for (uint32_t c = 2; c <= 5; c++) img.link(c, c < 5 ? c + 1 : 0x0FFFFFFF);
  Paths expected;
  std::vector<Bytes32> files;
  for (int i = 0; i < 60; i++) {  // 1920 bytes: into the fourth cluster
    char name11[12], path[16];
    std::snprintf(name11, sizeof name11, "FILE%04dTXT", i);
    std::snprintf(path, sizeof path, "/FILE%04d.TXT", i);
    files.push_back(short_entry(name11, 0x20, 0));
    expected.push_back(path);
  }
  img.dir(2, files);
  EXPECT_EQ(paths(img.tree()), expected);
}

// ---- exFAT ----

// By default 512-byte sectors and 4 KiB clusters; heap at sector 64, root at cluster 4.
struct ExfatImage {
  SparseDisk disk{uint64_t{1} << 30};
  uint64_t heap, cluster_bytes;

  explicit ExfatImage(uint8_t sector_shift = 9, uint8_t cluster_shift = 3, uint32_t count = 1000)
      : heap(uint64_t{64} << sector_shift),
        cluster_bytes(uint64_t{1} << (sector_shift + cluster_shift)) {
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
    disk.entries(heap + (cluster - 2) * cluster_bytes, entries);
  }
  FsTree tree() const { return list_fs_tree(disk.reader(), disk.size()); }
};

std::vector<Bytes32> exfat_file(const std::u16string& name, bool is_dir, uint32_t cluster,
                                uint64_t size) {
  std::vector<Bytes32> out;
  Bytes32 file(32, 0), stream(32, 0);
  file[0] = 0x85;
  file[1] = static_cast<uint8_t>(1 + (name.size() + 14) / 15);
  put16(&file[4], is_dir ? 0x10 : 0x20);
  stream[0] = 0xC0;
  stream[3] = static_cast<uint8_t>(name.size());
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
    auto f =
        exfat_file(u"f" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)), false, 0, 0);
    entries.insert(entries.end(), f.begin(), f.end());
  }
  auto loops = concat({exfat_file(u"self", true, 4, 0), exfat_file(u"zero", true, 0, 0),
                       exfat_file(u"beyond", true, 1002, 0), exfat_file(u"inner", true, 8, 0)});
  entries.insert(entries.begin(), loops.begin(), loops.end());
  img.dir(4, entries);
  auto inner = concat({exfat_file(u"up", true, 4, 0), exfat_file(u"again", true, 8, 0)});
  inner.resize(125, exfat_other(0x05));
  auto cut = exfat_file(u"name past the cluster", false, 0, 0);
  inner.insert(inner.end(), cut.begin(), cut.end());
  img.dir(8, inner);
  FsTree tree = img.tree();
  // 128 entries per cluster: the 4 folders (12 entries) and 38 whole files
  // plus the file entry and stream of a 39th, whose name lies beyond; in
  // "inner", a file whose second name entry lies beyond.
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

// A 32 MiB cluster is read a piece at a time: every entry is listed, no
// read is larger than 64 KiB.
TEST(FsTreeExfat, LargeClustersAreReadInPieces) {
  ExfatImage img(12, 13, 100);
  std::vector<Bytes32> entries;
  Paths expected;
  for (int i = 0; i < 3000; i++) {  // 288,000 bytes of entries
    std::u16string name = u"file" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26));
    for (char c : std::to_string(i)) name += static_cast<char16_t>(c);
    auto f = exfat_file(name, false, 0, 0);
    entries.insert(entries.end(), f.begin(), f.end());
    expected.push_back("/" + std::string(name.begin(), name.end()));
  }
  img.dir(4, entries);
  uint64_t largest = 0;
  FsReadAt base = img.disk.reader();
  FsTree tree = list_fs_tree(
      [&](uint64_t offset, uint8_t* buf, uint64_t length) {
        largest = std::max(largest, length);
        return base(offset, buf, length);
      },
      img.disk.size());
  EXPECT_EQ(paths(tree), expected);
  EXPECT_LE(largest, 65536u);
}

// ---- JSON text ----

// The event's tree object as cJSON would build and print it.
std::string cjson_tree(const FsTree& tree) {
  Json entries = json_array();
  for (const FsListedEntry& e : tree.entries) {
    Json entry = json_object();
    json_add_string(entry.get(), "name", e.name);
    json_add_string(entry.get(), "path", e.path);
    json_add_number(entry.get(), "size", static_cast<double>(e.size));
    json_add_bool(entry.get(), "is_dir", e.is_dir);
    json_add_number(entry.get(), "cluster", e.cluster);
    json_append(entries.get(), std::move(entry));
  }
  Json object = json_object();
  json_add_string(object.get(), "fs_type", tree.fs_type);
  json_add_item(object.get(), "entries", std::move(entries));
  return json_print(object.get());
}

TEST(FsTreeJson, NumbersAndStringsAsCjsonPrintsThem) {
  for (double v :
       {0.0, 1.0, 2147483647.0, 2147483648.0, 4294967295.0, 5368709120.0, 999999999999999.0,
        1234567890123456.0, 9007199254740993.0, 18446744073709551615.0, -1.0, -2147483649.0, 0.5}) {
    std::string text;
    json_write_number(&text, v);
    EXPECT_EQ(text, json_print(json_number(v).get())) << v;
  }
  for (std::string v :
       {std::string("plain"), std::string("q\"u\\o/te"), std::string("\b\f\n\r\t\x01\x1f\x7f"),
        std::string("caf\xc3\xa9 \xff\x80"), std::string("cut\0here", 8), std::string()}) {
    Json object = json_object();
    json_add_string(object.get(), "s", v);
    std::string text = "{\"s\":";
    json_write_string(&text, v);
    EXPECT_EQ(text + "}", json_print(object.get())) << v;
  }
}

// The text built during the walk is the bytes cJSON prints for the same
// tree: quotes, backslashes and control bytes in 8.3 names, code page 437,
// sizes beyond 32 bits.
TEST(FsTreeJson, SameBytesAsCjson) {
  Fat32Image fat;
  fat.dir(2, concat({{short_entry("Q\"B\\C\x01\x1f TXT", 0x20, 0, 0xFFFFFFFF)},
                     {short_entry("DIR\x82       ", 0x10, 3)},
                     long_file(u"Long \"name\" \u00e9.jpeg", "LONGNA~1JPE", 0x20, 70000, 7)}));
  fat.dir(3, {short_entry("\x80\xFF     \xB0\xB1\xB2", 0x20, 0, 2147483648u)});
  fat.link(3, 0x0FFFFFFF);
  ExfatImage exfat;
  exfat.dir(
      4, concat({exfat_file(u"big", false, 90, 5368709120ull),
                 exfat_file(u"huge", false, 91, UINT64_MAX), exfat_file(u"DCIM", true, 5, 4096)}));
  exfat.dir(5, exfat_file(u"tab\there", false, 7, 123));
  for (const SparseDisk* disk : {&fat.disk, &exfat.disk}) {
    FsTree tree = list_fs_tree(disk->reader(), disk->size());
    ASSERT_GE(tree.entries.size(), 4u);
    FsTreeJson json = build_fs_tree_json(disk->reader(), disk->size(), SIZE_MAX);
    EXPECT_EQ(json.text, cjson_tree(tree));
    EXPECT_EQ(json.listed, tree.entries.size());
    EXPECT_EQ(json.found, tree.entries.size());
    EXPECT_FALSE(json.truncated);
  }
  EXPECT_EQ(build_fs_tree_json(Fat32Image().disk.reader(), Fat32Image().disk.size(), SIZE_MAX).text,
            "");
}

// Cut to its budget: the first entries that fit, then "truncated" and the
// number found.
TEST(FsTreeJson, CutToItsBudget) {
  Fat32Image img;
  std::vector<Bytes32> files;
  for (int i = 0; i < 16; i++) {
    char name[12];
    std::snprintf(name, sizeof name, "FILE%04dTXT", i);
    files.push_back(short_entry(name, 0x20, 0, 100));
  }
  img.dir(2, files);
  FsTree tree = img.tree();
  std::string whole = build_fs_tree_json(img.disk.reader(), img.disk.size(), SIZE_MAX).text;
  ASSERT_EQ(whole, cjson_tree(tree));
  // Room for the closing members is kept whether or not they are needed.
  for (size_t budget : {size_t{0}, size_t{100}, whole.size() / 2, whole.size() + 64}) {
    FsTreeJson json = build_fs_tree_json(img.disk.reader(), img.disk.size(), budget);
    EXPECT_EQ(json.found, 16u);
    EXPECT_LE(json.text.size(), std::max<size_t>(budget, 128));
    Json parsed = json_parse(json.text);
    ASSERT_TRUE(parsed) << json.text;
    const cJSON* entries = json_get(parsed.get(), "entries");
    ASSERT_EQ(static_cast<size_t>(json_array_size(entries)), json.listed) << budget;
    for (size_t i = 0; i < json.listed; i++)
      EXPECT_EQ(json_get_string(json_array_item(entries, static_cast<int>(i)), "path"),
                tree.entries[i].path);
    if (budget > whole.size()) {
      EXPECT_EQ(json.text, whole);
      continue;
    }
    EXPECT_TRUE(json.truncated);
    EXPECT_LT(json.listed, 16u);
    EXPECT_GT(json.listed + 2,
              budget * 16 / whole.size());  // no more than one entry short of the budget
    EXPECT_TRUE(json_get_bool(parsed.get(), "truncated"));
    EXPECT_EQ(json_get_number(parsed.get(), "entries_found"), 16);
  }
}

}  // namespace
}  // namespace halvex
