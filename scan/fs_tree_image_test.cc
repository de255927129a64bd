// The tree builder against Sleuth Kit's `fls -r -p`, entry by entry, on
// images made by mkfs.vfat/mtools and mkfs.exfat/exfat-fuse. A missing tool
// skips with its name.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "scan/fs_tree_testing.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

namespace fs = std::filesystem;

bool have_tool(const char* name) {
  std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

#define REQUIRE_TOOL(name, package) \
  if (!have_tool(name))             \
  GTEST_SKIP() << name << " not installed (Debian package " package "): this comparison did not run"

// Runs a shell command, keeping its standard output; true when it succeeded.
bool run(const std::string& command, std::string* out = nullptr) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  std::string text;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) text.append(buf, n);
  int status = pclose(pipe);
  if (out != nullptr) *out = text;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string shell_quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

void write_file(const fs::path& path, size_t size) {
  testing::write_file(path.string(), std::string(size, 'x'));
}

// UTF-8 text as the tree spells it: one "?" per UTF-16 unit above ASCII.
std::string as_tree_name(const std::string& utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    out += c < 0x80 ? std::string(1, static_cast<char>(c)) : len == 4 ? "??" : "?";
    i += len;
  }
  return out;
}

struct Listed {
  std::string path;
  bool is_dir;
  uint64_t size;  // files only
  bool operator==(const Listed&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Listed& e) {
  return os << e.path << (e.is_dir ? "/" : "") << " " << e.size;
}

// `fls -r -p -l` lines: "r/r 11:\tpath\tfour times\tsize\tuid\tgid". Virtual
// files ($MBR, $FAT1, ...), the volume label and deleted entries are left out.
std::vector<Listed> parse_fls(const std::string& text) {
  std::vector<Listed> out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
    if (f.size() < 7 || f[0].find('*') != std::string::npos) continue;
    if (f[0][0] != 'r' && f[0][0] != 'd') continue;
    if (f[1].find("(Volume Label Entry)") != std::string::npos) continue;
    if (f[1] == "$ALLOC_BITMAP" || f[1] == "$UPCASE_TABLE") continue;  // exFAT metadata
    bool is_dir = f[0][0] == 'd';
    out.push_back({"/" + as_tree_name(f[1]), is_dir, is_dir ? 0 : std::stoull(f[6])});
  }
  return out;
}

// What fls lists for the image at `img`, a volume of type `type`.
std::vector<Listed> fls(const std::string& img, const char* type) {
  std::string listed;
  EXPECT_TRUE(run(std::string("fls -r -p -l -f ") + type + " " + shell_quote(img), &listed));
  return parse_fls(listed);
}

std::vector<Listed> from_tree(const FsTree& tree) {
  std::vector<Listed> out;
  for (const FsListedEntry& e : tree.entries)
    out.push_back({e.path, e.is_dir, e.is_dir ? 0 : e.size});
  return out;
}

FsTree tree_of(const std::string& image) {
  std::string bytes = testing::read_file(image);
  return list_fs_tree(
      fs_memory_reader(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), bytes.size());
}

void expect_same(const std::vector<Listed>& got, const std::vector<Listed>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); i++) ASSERT_EQ(got[i], want[i]) << "entry " << i;
}

class FsTreeImage : public ::testing::Test {
 protected:
  // A 64 MiB FAT32 image (512-byte clusters: 131000 of them) holding `src`.
  std::string make_fat32(const fs::path& src) {
    std::string img = dir_ + "/fat32.img";
    EXPECT_TRUE(run("truncate -s 64M " + shell_quote(img)));
    EXPECT_TRUE(
        run("mkfs.vfat -F 32 -S 512 -s 1 -n HALVEXTEST " + shell_quote(img) + " >/dev/null"));
    EXPECT_TRUE(run("cd " + shell_quote(src.string()) +
                    " && LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 mcopy -s -i " + shell_quote(img) +
                    " * ::/"));
    return img;
  }

  testing::TempDir tmp_;
  std::string dir_ = tmp_.path();
};

// Long names, 8.3 names, non-ASCII names, nested folders, folders whose
// entries span many clusters; 2000 files in all. Names that fit 8.3 are in
// upper case: see LowerCaseShortNames for the others.
void fill_source(const fs::path& src) {
  int files = 0;
  for (int i = 0; i < 700; i++, files++) {
    char name[32];
    std::snprintf(name, sizeof name, "DSC%05d.JPG", i);
    write_file(src / "DCIM" / "100MSDCF" / name, static_cast<size_t>(i % 997));
  }
  for (int i = 0; i < 600; i++, files++) {
    char name[64];
    std::snprintf(name, sizeof name, "Holiday photo number %04d of the long summer.jpeg", i);
    write_file(src / "DCIM" / "101 Long Folder" / name, static_cast<size_t>(i % 13));
  }
  const char* accented[] = {"café", "日本語", "Ünïcödé", "emoji 😀", "naïve résumé"};
  for (int i = 0; i < 300; i++, files++)
    write_file(src / "Música" / (std::string(accented[i % 5]) + " " + std::to_string(i) + ".mp3"),
               100);
  fs::path deep = src;
  for (const char* part : {"A", "B", "Third level", "D", "E5", "SIX"}) {
    deep /= part;
    write_file(deep / "README.TXT", 7);
    files++;
  }
  for (int i = 0; files < 2000; i++, files++)
    write_file(src / ("FILE" + std::to_string(i) + ".BIN"), static_cast<size_t>(i));
  write_file(src / "VIDEO" / "CLIP0001.MP4", 4096);
  fs::create_directories(src / "EMPTY");
}

TEST_F(FsTreeImage, Fat32EqualsFls) {
  REQUIRE_TOOL("mkfs.vfat", "dosfstools");
  REQUIRE_TOOL("mcopy", "mtools");
  REQUIRE_TOOL("fls", "sleuthkit");
  fs::path src = dir_ + "/src";
  fill_source(src);
  std::string img = make_fat32(src);
  std::vector<Listed> want = fls(img, "fat32");
  ASSERT_GT(want.size(), 2000u);
  FsTree tree = tree_of(img);
  EXPECT_EQ(tree.fs_type, "fat32");
  expect_same(from_tree(tree), want);
}

// mtools stores "lower.txt" as an 8.3 entry with the lower-case flags and no
// long name. The tree lists the 8.3 bytes as they are ("LOWER.TXT"); fls
// applies the flags. Everything else about the entry agrees.
TEST_F(FsTreeImage, LowerCaseShortNames) {
  REQUIRE_TOOL("mkfs.vfat", "dosfstools");
  REQUIRE_TOOL("mcopy", "mtools");
  REQUIRE_TOOL("fls", "sleuthkit");
  fs::path src = dir_ + "/src";
  write_file(src / "lower.txt", 5);
  write_file(src / "UPPER.TXT", 6);
  std::string img = make_fat32(src);
  std::vector<Listed> want = fls(img, "fat32");
  std::vector<Listed> got = from_tree(tree_of(img));
  ASSERT_EQ(want.size(), 2u);
  ASSERT_EQ(got.size(), 2u);
  size_t lower = want[0].path == "/lower.txt" ? 0 : 1;
  EXPECT_EQ(want[lower], (Listed{"/lower.txt", false, 5}));
  EXPECT_EQ(got[lower], (Listed{"/LOWER.TXT", false, 5}));
  EXPECT_EQ(got[1 - lower], want[1 - lower]);
}

// A partition table in front of the volume: nothing is listed, although the
// partition holds a FAT32 volume.
TEST_F(FsTreeImage, PartitionTableDiskHasNoTree) {
  REQUIRE_TOOL("mkfs.vfat", "dosfstools");
  REQUIRE_TOOL("mcopy", "mtools");
  fs::path src = dir_ + "/src";
  write_file(src / "DCIM" / "IMG0001.JPG", 10);
  std::string volume = testing::read_file(make_fat32(src));
  ASSERT_EQ(tree_of(dir_ + "/fat32.img").entries.size(), 2u);  // the volume alone lists

  std::string disk(1 << 20, '\0');
  const uint8_t entry[16] = {0x00, 0x20, 0x21, 0x00, 0x0C, 0xFE, 0xFF, 0xFF,
                             0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00};  // LBA 2048, 64 MiB
  std::copy(entry, entry + 16, disk.begin() + 446);
  disk[510] = '\x55';
  disk[511] = '\xAA';
  disk += volume;
  FsTree tree = list_fs_tree(
      fs_memory_reader(reinterpret_cast<const uint8_t*>(disk.data()), disk.size()), disk.size());
  EXPECT_EQ(tree.fs_type, "");
  EXPECT_TRUE(tree.entries.empty());
}

// An exFAT volume filled through exfat-fuse on a loop device. Folders stay
// within one 4 KiB cluster of entries, since only a directory's first
// cluster is listed.
TEST_F(FsTreeImage, ExfatEqualsFls) {
  REQUIRE_TOOL("mkfs.exfat", "exfatprogs");
  REQUIRE_TOOL("mount.exfat-fuse", "exfat-fuse");
  REQUIRE_TOOL("losetup", "mount");
  REQUIRE_TOOL("fls", "sleuthkit");
  std::string img = dir_ + "/exfat.img", mnt = dir_ + "/mnt";
  fs::create_directories(mnt);
  ASSERT_TRUE(run("truncate -s 64M " + shell_quote(img) + " && mkfs.exfat -c 4K -L HALVEX " +
                  shell_quote(img) + " >/dev/null"));
  std::string loop;
  if (!run("losetup -f --show " + shell_quote(img) + " 2>/dev/null", &loop) || loop.empty())
    GTEST_SKIP() << "no loop device here (losetup -f --show failed): exFAT comparison did not run";
  loop.erase(loop.find_last_not_of("\n") + 1);
  struct Detach {
    std::string loop;
    ~Detach() { run("losetup -d " + shell_quote(loop)); }
  } detach{loop};
  if (!run("timeout 30 mount.exfat-fuse " + shell_quote(loop) + " " + shell_quote(mnt) +
           " 2>/dev/null"))
    GTEST_SKIP() << "FUSE mount of " << loop << " failed: exFAT comparison did not run";
  {
    struct Unmount {
      std::string mnt;
      ~Unmount() { run("umount " + shell_quote(mnt)); }
    } unmount{mnt};
    fs::path root(mnt);
    for (int i = 0; i < 25; i++)
      write_file(root / "DCIM" / "100MSDCF" / ("DSC" + std::to_string(10000 + i) + ".JPG"),
                 100u + i);
    write_file(root / "DCIM" / "twenty-characters.mp", 3);
    write_file(root / "Thirty-one characters long.mp4", 31);
    write_file(root / "caf\u00e9 \u65e5\u672c \U0001F600.txt", 9);
    fs::path deep = root;
    for (const char* part : {"a", "b", "c", "d"}) {
      deep /= part;
      write_file(deep / "x.bin", 1);
    }
    fs::create_directories(root / "empty folder");
    run("sync");
  }
  std::vector<Listed> want = fls(img, "exfat");
  ASSERT_GT(want.size(), 30u);
  FsTree tree = tree_of(img);
  EXPECT_EQ(tree.fs_type, "exfat");
  expect_same(from_tree(tree), want);
}

// A fresh exFAT volume made by mkfs.exfat is recognised; its root holds only
// the bitmap, up-case table and label, none of which is listed.
TEST_F(FsTreeImage, FreshExfatIsRecognised) {
  REQUIRE_TOOL("mkfs.exfat", "exfatprogs");
  std::string img = dir_ + "/exfat.img";
  ASSERT_TRUE(run("truncate -s 64M " + shell_quote(img) + " && mkfs.exfat -L HALVEX " +
                  shell_quote(img) + " >/dev/null"));
  FsTree tree = tree_of(img);
  EXPECT_EQ(tree.fs_type, "exfat");
  EXPECT_TRUE(tree.entries.empty());
}

}  // namespace
}  // namespace halvex
