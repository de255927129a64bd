// Peak memory of the scan's tree pass on hostile disks (bench/fs_tree_memory.sh).
//
//   fs_tree_memory craft-fat32 IMAGE   a 34 MB FAT32 volume holding 1,000,000
//                                      files whose paths pass 511 bytes
//   fs_tree_memory craft-exfat IMAGE   a sparse exFAT volume of 32 MiB clusters
//                                      with folders nested 17 deep
//   fs_tree_memory measure IMAGE       the tree pass on IMAGE as a scan runs it:
//                                      the tree's JSON text, handed to the event
//                                      and printed as send_event prints it (no
//                                      connection, so nothing goes out); then
//                                      the process's peak and remaining RSS
//
// Measure each image in a process of its own: the peak (VmHWM) is the
// process's.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/json.h"
#include "link/proto.h"
#include "scan/fs_tree.h"

namespace {

constexpr uint64_t kMessageBytes = 62914560;  // the scan's 60 MiB message limit

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

// ---- FAT32: 512-byte clusters, root -> one folder -> 16 folders with
// 255-character long names -> 62,500 files each. Every file's path is
// "/" + 255 + "/" + 255 + "/" + 8.3 name, cut to 511 bytes.

constexpr uint32_t kSector = 512, kReserved = 32, kClusters = 65600;
constexpr uint32_t kFatSectors = (4 * (kClusters + 2) + kSector - 1) / kSector;
constexpr uint64_t kData = uint64_t{kReserved + kFatSectors} * kSector;
constexpr int kFolders = 16, kFilesPerFolder = 62500;

struct Fat32Writer {
  std::vector<uint8_t> image = std::vector<uint8_t>(kData + uint64_t{kClusters} * kSector, 0);
  uint32_t next_cluster = 2;

  uint8_t* cluster(uint32_t c) { return image.data() + kData + uint64_t{c - 2} * kSector; }
  void link(uint32_t c, uint32_t next) {
    put32(image.data() + kReserved * kSector + 4 * uint64_t{c}, next);
  }

  // A directory of `entries` 32-byte entries in neighbouring clusters;
  // returns its first cluster.
  uint32_t directory(const std::vector<std::vector<uint8_t>>& entries) {
    uint32_t count = static_cast<uint32_t>((entries.size() * 32 + kSector - 1) / kSector);
    uint32_t first = next_cluster;
    for (uint32_t k = 0; k < count; k++)
      link(first + k, k + 1 < count ? first + k + 1 : 0x0FFFFFFF);
    for (size_t i = 0; i < entries.size(); i++)
      std::memcpy(cluster(first) + 32 * i, entries[i].data(), 32);
    next_cluster += count;
    return first;
  }
};

std::vector<uint8_t> short_entry(const std::string& name11, uint8_t attr, uint32_t first) {
  std::vector<uint8_t> e(32, 0);
  std::memcpy(e.data(), name11.data(), 11);
  e[11] = attr;
  put16(&e[20], static_cast<uint16_t>(first >> 16));
  put16(&e[26], static_cast<uint16_t>(first));
  return e;
}

// A folder with a 255-character long name: 20 long-name parts, then its
// short entry.
void add_long_folder(std::vector<std::vector<uint8_t>>* out, char letter, int index,
                     uint32_t first) {
  static const int kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (int n = 20; n >= 1; n--) {
    std::vector<uint8_t> e(32, 0);
    e[0] = static_cast<uint8_t>(n | (n == 20 ? 0x40 : 0));
    e[11] = 0x0F;
    for (int k = 0; k < 13; k++) {
      int pos = 13 * (n - 1) + k;
      put16(&e[kOffsets[k]], pos < 255 ? static_cast<uint16_t>(letter) : pos == 255 ? 0 : 0xFFFF);
    }
    out->push_back(e);
  }
  char name[12];
  std::snprintf(name, sizeof name, "LONG~%03d   ", index);
  out->push_back(short_entry(name, 0x10, first));
}

// The folder entries must name the folders' clusters, so the deepest are
// placed first.
bool craft_fat32(const char* path) {
  Fat32Writer w;
  std::vector<uint32_t> folders;
  for (int f = 0; f < kFolders; f++) {
    std::vector<std::vector<uint8_t>> files;
    for (int i = 0; i < kFilesPerFolder; i++) {
      char name[12];
      std::snprintf(name, sizeof name, "F%02d%05dTXT", f, i);
      files.push_back(short_entry(name, 0x20, 0));
    }
    folders.push_back(w.directory(files));
  }
  std::vector<std::vector<uint8_t>> middle;
  for (int f = 0; f < kFolders; f++)
    add_long_folder(&middle, static_cast<char>('a' + f), f, folders[f]);
  uint32_t middle_first = w.directory(middle);
  std::vector<std::vector<uint8_t>> root;
  add_long_folder(&root, 'R', 999, middle_first);
  uint32_t root_first = w.directory(root);

  uint8_t* boot = w.image.data();
  boot[0] = 0xEB;
  boot[1] = 0x58;
  boot[2] = 0x90;
  std::memcpy(boot + 3, "MSWIN4.1", 8);
  put16(boot + 11, kSector);
  boot[13] = 1;
  put16(boot + 14, kReserved);
  boot[16] = 1;
  put32(boot + 36, kFatSectors);
  put32(boot + 44, root_first);
  boot[510] = 0x55;
  boot[511] = 0xAA;
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(w.image.data()),
            static_cast<std::streamsize>(w.image.size()));
  return static_cast<bool>(out);
}

// ---- exFAT: 32 MiB clusters; cluster 2 + k holds one folder at cluster
// 3 + k, 20 deep. Only the boot sector and each cluster's first entries are
// written; the rest of the file is a hole.

bool craft_exfat(const char* path) {
  constexpr unsigned kSectorShift = 9, kClusterShift = 16;
  constexpr uint64_t kHeapSectors = 64,
                     kClusterBytes = uint64_t{1} << (kSectorShift + kClusterShift);
  constexpr uint32_t kDepth = 20;
  int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  uint64_t heap = kHeapSectors << kSectorShift;
  bool ok = ::ftruncate(fd, static_cast<off_t>(heap + (kDepth + 1) * kClusterBytes)) == 0;
  uint8_t boot[512] = {0xEB, 0x76, 0x90};
  std::memcpy(boot + 3, "EXFAT   ", 8);
  put32(boot + 88, kHeapSectors);
  put32(boot + 92, kDepth + 1);
  put32(boot + 96, 2);
  boot[108] = kSectorShift;
  boot[109] = kClusterShift;
  boot[510] = 0x55;
  boot[511] = 0xAA;
  ok = ok && ::pwrite(fd, boot, sizeof boot, 0) == sizeof boot;
  for (uint32_t k = 0; k < kDepth; k++) {
    uint8_t set[96] = {};
    set[0] = 0x85;
    set[1] = 2;
    put16(set + 4, 0x10);
    set[32] = 0xC0;
    put32(set + 32 + 20, 3 + k);
    put64(set + 32 + 24, kClusterBytes);
    set[64] = 0xC1;
    put16(set + 64 + 2, 'D');
    off_t at = static_cast<off_t>(heap + k * kClusterBytes);
    ok = ok && ::pwrite(fd, set, sizeof set, at) == static_cast<ssize_t>(sizeof set);
  }
  return ::close(fd) == 0 && ok;
}

// ---- measuring ----

long status_kib(const char* field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field) + 1);
  return -1;
}

int measure(const char* path) {
  int fd = ::open(path, O_RDONLY);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    std::perror(path);
    return 1;
  }
  long before = status_kib("VmHWM:");
  {
    halvex::FsReadAt read_at = [fd](uint64_t offset, uint8_t* buffer, uint64_t length) {
      return ::pread(fd, buffer, length, static_cast<off_t>(offset)) ==
             static_cast<ssize_t>(length);
    };
    halvex::FsTreeJson tree =
        halvex::build_fs_tree_json(read_at, static_cast<uint64_t>(st.st_size), kMessageBytes - 256);
    std::printf("%s: %zu entries listed of %zu found%s, %zu bytes of JSON\n", path, tree.listed,
                tree.found, tree.truncated ? " (truncated)" : "", tree.text.size());
    long walk_peak = status_kib("VmHWM:");
    halvex::Json event = halvex::json_object();
    halvex::json_add_string(event.get(), "scan_id", "bench");
    halvex::json_add_raw(event.get(), "directory_tree", std::move(tree.text));
    halvex::send_event("directory_tree", std::move(event));
    std::printf("  peak RSS after the walk: %ld KiB\n", walk_peak);
  }
  ::close(fd);
  std::printf(
      "  peak RSS (VmHWM) of the tree pass and its event: %ld KiB (%.1f MiB); at start %ld KiB\n",
      status_kib("VmHWM:"), static_cast<double>(status_kib("VmHWM:")) / 1024, before);
  std::printf("  RSS after the pass: %ld KiB\n", status_kib("VmRSS:"));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: fs_tree_memory craft-fat32|craft-exfat|measure IMAGE\n");
    return 2;
  }
  std::string mode = argv[1];
  if (mode == "craft-fat32") return craft_fat32(argv[2]) ? 0 : 1;
  if (mode == "craft-exfat") return craft_exfat(argv[2]) ? 0 : 1;
  if (mode == "measure") return measure(argv[2]);
  std::fprintf(stderr, "unknown mode %s\n", argv[1]);
  return 2;
}
