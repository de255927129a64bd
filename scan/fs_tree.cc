#include "scan/fs_tree.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_set>

namespace halvex {

namespace {

constexpr uint64_t kBootSectorBytes = 512;
constexpr size_t kInitialEntries = 256;
constexpr size_t kMaxNameChars = 255;
constexpr size_t kMaxPathChars = 511;
constexpr uint64_t kDirEntryBytes = 32;
// exFAT: bigger clusters are not exFAT and would make one read huge.
constexpr unsigned kExfatMaxClusterShift = 25;  // 32 MiB
constexpr uint32_t kFat32MinClusters = 65526;   // fewer is FAT12/16
constexpr uint64_t kFat32MaxFatBytes = 67108864;
constexpr uint64_t kFat32MaxDirBytes = 4194304;
constexpr uint32_t kFat32MaxDirClusters = 4096;
constexpr uint32_t kFat32ClusterMask = 0x0FFFFFFF;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) { return uint32_t{le16(p)} | uint32_t{le16(p + 2)} << 16; }
uint64_t le64(const uint8_t* p) { return uint64_t{le32(p)} | uint64_t{le32(p + 4)} << 32; }

// A UTF-16 code unit as a name character: ASCII stays, the rest is "?".
char name_char(uint16_t unit) { return unit < 0x80 ? static_cast<char>(unit) : '?'; }

// A growable byte buffer whose allocation failure is a result, not an
// exception: directory data comes from damaged disks and may be large.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() { std::free(data_); }

  bool resize(uint64_t size) {
    if (size > SIZE_MAX) return false;
    if (size > capacity_) {
      uint64_t want = std::max(size, capacity_ * 2);
      void* grown = std::realloc(data_, want);
      if (grown == nullptr) return false;
      data_ = static_cast<uint8_t*>(grown);
      capacity_ = want;
    }
    size_ = size;
    return true;
  }
  uint8_t* data() { return data_; }
  uint64_t size() const { return size_; }

 private:
  uint8_t* data_ = nullptr;
  uint64_t size_ = 0;
  uint64_t capacity_ = 0;
};

struct ExfatVolume {
  uint64_t heap_offset;
  uint32_t cluster_count;
  uint32_t root_cluster;
  uint64_t cluster_bytes;
};

struct Fat32Volume {
  uint64_t fat_offset;
  uint64_t fat_bytes;
  uint64_t data_offset;
  uint64_t cluster_bytes;
  uint32_t cluster_count;
  uint32_t root_cluster;
};

// One tree build: the reader, the list, and every directory cluster already
// read, so that no cluster is walked twice however the directories loop.
struct Walk {
  const FsReadAt& read_at;
  FsTree* tree;
  std::unordered_set<uint32_t> walked;

  bool full() const { return tree->entries.size() >= kFsMaxEntries; }
  // True the first time `cluster` is claimed in this tree.
  bool claim(uint32_t cluster) { return walked.insert(cluster).second; }
};

// Appends one entry (name and path cut to their field lengths, the name also
// at a NUL byte, as in a NUL-terminated field) and returns its path; nothing
// is added once the list is full.
std::string add_fs_entry(Walk& walk, std::string name, const std::string& parent, uint64_t size,
                         uint32_t cluster, bool is_dir) {
  name.resize(std::min({name.size(), name.find('\0'), kMaxNameChars}));
  std::string path = parent + "/" + name;
  if (path.size() > kMaxPathChars) path.resize(kMaxPathChars);
  if (!walk.full()) walk.tree->entries.push_back(FsEntry{std::move(name), path, size, cluster, is_dir});
  return path;
}

bool in_heap(uint32_t cluster, uint32_t count) {
  return cluster >= 2 && uint64_t{cluster} <= uint64_t{count} + 1;
}

// ---- exFAT ----

struct ExfatFile {
  std::string name;
  bool is_dir = false;
  bool stream_seen = false;
  uint32_t first_cluster = 0;
  uint64_t size = 0;
};

void walk_exfat_dir(Walk& walk, const ExfatVolume& vol, uint32_t cluster, const std::string& parent,
                    int depth);

// Makes the record of a file whose name is complete, then enters it.
void exfat_record(Walk& walk, const ExfatVolume& vol, ExfatFile* file, const std::string& parent,
                  int depth) {
  if (file->name.empty() || !file->stream_seen) return;
  std::string path = add_fs_entry(walk, file->name, parent, file->size, file->first_cluster, file->is_dir);
  bool enter = file->is_dir && file->first_cluster > 1;
  uint32_t first = file->first_cluster;
  file->name.clear();  // one record per file
  file->stream_seen = false;
  if (enter) walk_exfat_dir(walk, vol, first, path, depth + 1);
}

void exfat_append_name(ExfatFile* file, const uint8_t* entry) {
  for (int k = 2; k <= 30 && file->name.size() < kMaxNameChars; k += 2) {
    uint16_t unit = le16(entry + k);
    if (unit == 0) break;
    file->name += name_char(unit);
  }
}

// Only the directory's first cluster is read.
void walk_exfat_dir(Walk& walk, const ExfatVolume& vol, uint32_t cluster, const std::string& parent,
                    int depth) {
  if (depth >= kFsMaxDepth || !in_heap(cluster, vol.cluster_count) || walk.full()) return;
  if (!walk.claim(cluster)) return;
  ByteBuffer buf;
  if (!buf.resize(vol.cluster_bytes)) return;
  uint64_t offset = vol.heap_offset + uint64_t{cluster - 2} * vol.cluster_bytes;
  if (!walk.read_at(offset, buf.data(), vol.cluster_bytes)) return;

  ExfatFile file;
  for (uint64_t pos = 0; pos + kDirEntryBytes <= buf.size() && !walk.full(); pos += kDirEntryBytes) {
    const uint8_t* e = buf.data() + pos;
    uint8_t type = e[0];
    if (type != 0xC1) exfat_record(walk, vol, &file, parent, depth);
    if (type == 0x00) return;
    if (type == 0x85) {
      file.is_dir = (le16(e + 4) & 0x10) != 0;
      file.name.clear();
      file.stream_seen = false;
    } else if (type == 0xC0) {
      file.first_cluster = le32(e + 20);
      file.size = le64(e + 24);
      file.stream_seen = true;
    } else if (type == 0xC1) {
      exfat_append_name(&file, e);
    }
  }
  exfat_record(walk, vol, &file, parent, depth);
}

// The exFAT parameters, or false when the boot sector is not one we list.
bool exfat_volume(const uint8_t* boot, ExfatVolume* vol) {
  if (std::memcmp(boot + 3, "EXFAT   ", 8) != 0) return false;
  unsigned sector_shift = boot[108], cluster_shift = boot[109];
  uint32_t count = le32(boot + 92);
  if (sector_shift < 9 || sector_shift > 12 || count == 0) return false;
  if (sector_shift + cluster_shift > kExfatMaxClusterShift) return false;
  vol->heap_offset = uint64_t{le32(boot + 88)} << sector_shift;
  vol->cluster_count = count;
  vol->root_cluster = le32(boot + 96);
  vol->cluster_bytes = uint64_t{1} << (sector_shift + cluster_shift);
  return true;
}

// ---- FAT32 ----

struct Fat {
  const uint8_t* data;
  uint64_t size;
};

// Reads the directory's cluster chain; stops at the first cluster already
// walked in this tree, so a looping chain is read once.
void read_fat32_chain(Walk& walk, const Fat32Volume& vol, const Fat& fat, uint32_t cluster,
                      ByteBuffer* buf) {
  for (uint32_t read = 0; read < kFat32MaxDirClusters; read++) {
    if (read > 0 && !walk.claim(cluster)) return;
    uint64_t used = buf->size();
    if (!buf->resize(used + vol.cluster_bytes)) return void(buf->resize(used));
    uint64_t offset = vol.data_offset + uint64_t{cluster - 2} * vol.cluster_bytes;
    if (!walk.read_at(offset, buf->data() + used, vol.cluster_bytes)) return void(buf->resize(used));
    if (buf->size() > kFat32MaxDirBytes) return;
    if (fat.size < 4 * uint64_t{cluster} + 4) return;
    uint32_t next = le32(fat.data + 4 * uint64_t{cluster}) & kFat32ClusterMask;
    if (!in_heap(next, vol.cluster_count)) return;  // end-of-chain, bad or free
    cluster = next;
  }
}

// The 8.3 name: name and extension without trailing spaces, "%s.%s" when
// the extension is not empty.
std::string short_name(const uint8_t* e) {
  auto trimmed = [](const uint8_t* p, size_t n) {
    while (n > 0 && p[n - 1] == ' ') n--;
    return std::string(reinterpret_cast<const char*>(p), n);
  };
  std::string base = trimmed(e, 8), ext = trimmed(e + 8, 3);
  return ext.empty() ? base : base + "." + ext;
}

// Places one long-name part; the name is the characters before the first
// position never placed.
void place_long_part(const uint8_t* e, char* long_name) {
  static const int kUnitOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  unsigned n = e[0] & 0x1F;
  if (n < 1 || n > 20) return;
  for (unsigned k = 0; k < 13; k++) {
    uint16_t unit = le16(e + kUnitOffsets[k]);
    if (unit == 0x0000 || unit == 0xFFFF) return;
    unsigned pos = 13 * (n - 1) + k;
    if (pos <= 254) long_name[pos] = name_char(unit);
  }
}

void walk_fat32_dir(Walk& walk, const Fat32Volume& vol, const Fat& fat, uint32_t cluster,
                    const std::string& parent, int depth);

// Lists one short entry under its long or 8.3 name, and enters folders.
void fat32_short_entry(Walk& walk, const Fat32Volume& vol, const Fat& fat, const uint8_t* e,
                       char* long_name, const std::string& parent, int depth) {
  std::string name(long_name, strnlen(long_name, kMaxNameChars));
  std::memset(long_name, 0, kMaxNameChars + 1);
  if (name.empty()) name = short_name(e);
  if (name == "." || name == "..") return;
  uint32_t first = uint32_t{le16(e + 20)} << 16 | le16(e + 26);
  bool is_dir = (e[11] & 0x10) != 0;
  std::string path = add_fs_entry(walk, name, parent, le32(e + 28), first, is_dir);
  if (is_dir && first > 1) walk_fat32_dir(walk, vol, fat, first, path, depth + 1);
}

void walk_fat32_dir(Walk& walk, const Fat32Volume& vol, const Fat& fat, uint32_t cluster,
                    const std::string& parent, int depth) {
  if (depth >= kFsMaxDepth || !in_heap(cluster, vol.cluster_count) || walk.full()) return;
  if (!walk.claim(cluster)) return;
  ByteBuffer buf;
  read_fat32_chain(walk, vol, fat, cluster, &buf);
  if (buf.size() < kDirEntryBytes) return;

  char long_name[kMaxNameChars + 1] = {};
  for (uint64_t pos = 0; pos + kDirEntryBytes <= buf.size() && !walk.full(); pos += kDirEntryBytes) {
    const uint8_t* e = buf.data() + pos;
    if (e[0] == 0x00) return;
    if (e[0] == 0xE5) continue;
    if (e[11] == 0x0F) {
      place_long_part(e, long_name);
    } else if ((e[11] & 0x08) != 0) {
      std::memset(long_name, 0, sizeof long_name);  // volume label
    } else {
      fat32_short_entry(walk, vol, fat, e, long_name, parent, depth);
    }
  }
}

// The FAT32 parameters, or false when the boot sector is not one we list.
bool fat32_volume(const uint8_t* boot, uint64_t disk_size, Fat32Volume* vol) {
  uint64_t sector = le16(boot + 11), per_cluster = boot[13], reserved = le16(boot + 14);
  uint64_t fats = boot[16], fat_sectors = le32(boot + 36);
  if (boot[510] != 0x55 || boot[511] != 0xAA) return false;
  if (sector < 512 || per_cluster == 0 || fat_sectors == 0 || le16(boot + 17) != 0) return false;
  // From the disk size, not the boot sector: what the disk really holds.
  uint64_t disk_sectors = disk_size / sector, meta = reserved + fats * fat_sectors;
  uint64_t clusters = disk_sectors > meta ? (disk_sectors - meta) / per_cluster : 0;
  vol->cluster_count = static_cast<uint32_t>(std::min<uint64_t>(clusters, UINT32_MAX));
  if (vol->cluster_count < kFat32MinClusters) return false;
  vol->fat_offset = reserved * sector;
  vol->fat_bytes = std::min(sector * fat_sectors, kFat32MaxFatBytes);
  vol->data_offset = meta * sector;
  vol->cluster_bytes = sector * per_cluster;
  vol->root_cluster = le32(boot + 44);
  return true;
}

void list_fat32(Walk& walk, const Fat32Volume& vol) {
  // Without a FAT every directory is read as its first cluster only.
  std::unique_ptr<uint8_t[]> table(new (std::nothrow) uint8_t[vol.fat_bytes]);
  Fat fat{table.get(), 0};
  if (table && walk.read_at(vol.fat_offset, table.get(), vol.fat_bytes)) fat.size = vol.fat_bytes;
  walk_fat32_dir(walk, vol, fat, vol.root_cluster, "", 0);
}

}  // namespace

FsTree build_fs_tree(const FsReadAt& read_at, uint64_t disk_size) {
  FsTree tree;
  tree.entries.reserve(kInitialEntries);
  uint8_t boot[kBootSectorBytes];
  if (!read_at(0, boot, sizeof boot)) return tree;
  Walk walk{read_at, &tree, {}};
  ExfatVolume exfat;
  if (exfat_volume(boot, &exfat)) {
    tree.fs_type = "exfat";
    walk_exfat_dir(walk, exfat, exfat.root_cluster, "", 0);
    return tree;
  }
  Fat32Volume fat32;
  if (!fat32_volume(boot, disk_size, &fat32)) return tree;
  tree.fs_type = "fat32";
  list_fat32(walk, fat32);
  return tree;
}

FsReadAt fs_memory_reader(const uint8_t* data, uint64_t size) {
  return [data, size](uint64_t offset, uint8_t* buffer, uint64_t length) {
    if (offset > size || length > size - offset) return false;
    std::memcpy(buffer, data + offset, length);
    return true;
  };
}

}  // namespace halvex
