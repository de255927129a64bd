#include "scan/fs_tree.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_set>
#include <vector>

#include "core/coding.h"
#include "core/json.h"

namespace halvex {

namespace {

constexpr uint64_t kBootSectorBytes = 512;
constexpr size_t kMaxNameBytes = 255;
constexpr size_t kMaxPathBytes = 511;
constexpr uint64_t kDirEntryBytes = 32;
// Directory data is read in pieces of this size, so that a level of the walk
// holds one piece whatever the cluster size.
constexpr uint64_t kPieceBytes = 65536;
// exFAT: bigger clusters are not exFAT.
constexpr unsigned kExfatMaxClusterShift = 25;  // 32 MiB
constexpr uint32_t kFat32MinClusters = 65526;   // fewer is FAT12/16
constexpr uint64_t kFat32MaxFatBytes = 67108864;
constexpr uint64_t kFat32MaxDirBytes = 4194304;
constexpr uint32_t kFat32MaxDirClusters = 4096;
constexpr uint32_t kFat32ClusterMask = 0x0FFFFFFF;
constexpr uint32_t kFat32BadCluster = 0x0FFFFFF7;  // and above: bad and end-of-chain marks
// Clusters below this are remembered in a bitmap (4 MiB at most); the FAT
// chains only clusters below 2^24, so above it come only the first
// clusters of directories, at most one per listed entry.
constexpr uint64_t kBitmapClusters = uint64_t{1} << 25;

// exFAT directory entry types (the first byte of each 32-byte entry) and
// the fields the walk reads.
constexpr uint8_t kExfatEndOfDirectory = 0x00;
constexpr uint8_t kExfatFileEntry = 0x85;
constexpr uint8_t kExfatStreamEntry = 0xC0;
constexpr uint8_t kExfatNameEntry = 0xC1;
constexpr size_t kExfatFileAttributes = 4;  // 16 bits, in the file entry
constexpr size_t kExfatNameLength = 3;      // 8 bits, in the stream entry: UTF-16 units
constexpr size_t kExfatFirstCluster = 20;   // 32 bits, in the stream entry
constexpr size_t kExfatDataLength = 24;     // 64 bits, in the stream entry
// exFAT boot sector fields.
constexpr size_t kExfatBootName = 3;           // "EXFAT   "
constexpr size_t kExfatBootHeapOffset = 88;    // 32 bits, in sectors
constexpr size_t kExfatBootClusterCount = 92;  // 32 bits
constexpr size_t kExfatBootRootCluster = 96;   // 32 bits
constexpr size_t kExfatBootSectorShift = 108;
constexpr size_t kExfatBootClusterShift = 109;

// FAT32 short entry fields; the first name byte marks free and deleted
// entries.
constexpr uint8_t kFatEndOfDirectory = 0x00;
constexpr uint8_t kFatDeleted = 0xE5;
constexpr uint8_t kFatDeletedStandIn = 0x05;  // a real first byte 0xE5
constexpr size_t kFatAttributes = 11;
constexpr size_t kFatFirstClusterHigh = 20;  // 16 bits
constexpr size_t kFatFirstClusterLow = 26;   // 16 bits
constexpr size_t kFatFileSize = 28;          // 32 bits
constexpr uint8_t kFatLongNameAttributes = 0x0F;
constexpr uint8_t kFatLastLongPart = 0x40;  // in a long-name entry's sequence byte
constexpr uint8_t kFatVolumeLabel = 0x08;
constexpr uint8_t kFatDirectory = 0x10;  // also exFAT's directory attribute
// FAT32 boot sector fields.
constexpr size_t kFatBootBytesPerSector = 11;     // 16 bits
constexpr size_t kFatBootSectorsPerCluster = 13;  // 8 bits
constexpr size_t kFatBootReservedSectors = 14;    // 16 bits
constexpr size_t kFatBootFatCount = 16;           // 8 bits
constexpr size_t kFatBootRootEntries = 17;        // 16 bits, 0 on FAT32
constexpr size_t kFatBootFatSectors = 36;         // 32 bits
constexpr size_t kFatBootRootCluster = 44;        // 32 bits
constexpr size_t kBootSignature = 510;            // 0x55 0xAA

// A UTF-16 code unit as a name character: ASCII stays, the rest is "?".
char name_char(uint16_t unit) { return unit < 0x80 ? static_cast<char>(unit) : '?'; }

// Code page 437 from 0x80 up, the FAT default for 8.3 names.
constexpr uint16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF,
    0x00EE, 0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA,
    0x00F1, 0x00D1, 0x00AA, 0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557,
    0x255D, 0x255C, 0x255B, 0x2510, 0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559,
    0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4, 0x03A6, 0x0398, 0x03A9, 0x03B4,
    0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

void append_cp437(std::string* out, uint8_t byte) {
  if (byte < 0x80) {
    *out += static_cast<char>(byte);
    return;
  }
  uint16_t cp = kCp437High[byte - 0x80];
  if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | cp >> 6);
  } else {
    *out += static_cast<char>(0xE0 | cp >> 12);
    *out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
  }
  *out += static_cast<char>(0x80 | (cp & 0x3F));
}

// `text` cut to at most `max` bytes without splitting a UTF-8 character.
std::string_view cut_utf8(std::string_view text, size_t max) {
  if (text.size() <= max) return text;
  size_t n = max;
  while (n > 0 && (static_cast<uint8_t>(text[n]) & 0xC0) == 0x80) n--;
  return text.substr(0, n);
}

// Clusters already walked in this tree.
class ClusterSet {
 public:
  explicit ClusterSet(uint64_t highest)
      : bits_((std::min(highest + 1, kBitmapClusters) + 63) / 64, 0) {}
  // True the first time `cluster` is claimed.
  bool claim(uint32_t cluster) {
    if (cluster / 64 < bits_.size()) {
      uint64_t bit = uint64_t{1} << (cluster % 64);
      uint64_t& word = bits_[cluster / 64];
      if ((word & bit) != 0) return false;
      word |= bit;
      return true;
    }
    return sparse_.insert(cluster).second;
  }

 private:
  std::vector<uint64_t> bits_;
  std::unordered_set<uint32_t> sparse_;
};

// One tree walk: the reader, the sink, and every directory cluster already
// read, so that no cluster is walked twice however the directories loop.
struct Walk {
  const FsReadAt& read_at;
  FsEntrySink& sink;
  ClusterSet walked;
  size_t entries = 0;
  bool capped = false;

  bool full() const { return capped; }
};

// Hands one entry to the sink (name cut at a NUL, as a NUL-terminated field,
// and to its field length; path cut to its field length) and returns its
// path; once kFsMaxEntries are listed the walk is marked capped instead.
std::string add_fs_entry(Walk& walk, std::string_view name, std::string_view parent, uint64_t size,
                         uint32_t cluster, bool is_dir) {
  name = cut_utf8(name.substr(0, name.find('\0')), kMaxNameBytes);
  std::string path;
  path.reserve(parent.size() + 1 + name.size());
  path.append(parent).append("/").append(name);
  path.resize(cut_utf8(path, kMaxPathBytes).size());
  if (walk.entries >= kFsMaxEntries) {
    walk.capped = true;
    return path;
  }
  walk.entries++;
  walk.sink.add(FsEntry{name, path, size, cluster, is_dir});
  return path;
}

bool in_heap(uint32_t cluster, uint32_t count) {
  return cluster >= 2 && uint64_t{cluster} <= uint64_t{count} + 1;
}

// A byte range of the disk holding directory entries.
struct Extent {
  uint64_t offset;
  uint64_t length;
};

// A directory's 32-byte entries in order, read a piece at a time from its
// extents; an entry may span two extents.
class EntryStream {
 public:
  EntryStream(const FsReadAt& read_at, std::vector<Extent> extents)
      : read_at_(read_at),
        extents_(std::move(extents)),
        buf_(new (std::nothrow) uint8_t[kPieceBytes]) {}

  // The next entry, or null at the end of the extents, at a failed read or
  // when the piece buffer could not be had.
  const uint8_t* next() {
    if (size_ - pos_ < kDirEntryBytes && !refill()) return nullptr;
    const uint8_t* entry = buf_.get() + pos_;
    pos_ += kDirEntryBytes;
    return entry;
  }

 private:
  // Keeps the part of an entry left in the buffer and reads the next piece.
  bool refill() {
    if (!buf_) return false;
    std::memmove(buf_.get(), buf_.get() + pos_, size_ - pos_);
    size_ -= pos_;
    pos_ = 0;
    while (size_ < kDirEntryBytes && extent_ < extents_.size()) {
      const Extent& x = extents_[extent_];
      uint64_t n = std::min(kPieceBytes - size_, x.length - done_);
      if (!read_at_(x.offset + done_, buf_.get() + size_, n)) {
        extent_ = extents_.size();
        return false;
      }
      size_ += n;
      done_ += n;
      if (done_ == x.length) {
        extent_++;
        done_ = 0;
      }
    }
    return size_ >= kDirEntryBytes;
  }

  const FsReadAt& read_at_;
  std::vector<Extent> extents_;
  std::unique_ptr<uint8_t[]> buf_;
  size_t extent_ = 0;
  uint64_t done_ = 0;  // bytes of extents_[extent_] already read
  uint64_t size_ = 0, pos_ = 0;
};

// ---- exFAT ----

struct ExfatVolume {
  uint64_t heap_offset;
  uint32_t cluster_count;
  uint32_t root_cluster;
  uint64_t cluster_bytes;
};

struct ExfatFile {
  std::string name;
  bool is_dir = false;
  bool stream_seen = false;
  uint8_t name_length = 0;  // units the name entries hold, by the stream entry
  uint32_t first_cluster = 0;
  uint64_t size = 0;
};

void walk_exfat_dir(Walk& walk, const ExfatVolume& vol, uint32_t cluster, const std::string& parent,
                    int depth);

// Lists a file whose name is complete, then enters it. A name shorter than
// the stream entry says (a name holds one character a unit) runs on past
// what was read, a directory's first cluster only: the file is left out
// rather than listed under a cut name.
void exfat_record(Walk& walk, const ExfatVolume& vol, ExfatFile* file, const std::string& parent,
                  int depth) {
  if (file->name.empty() || !file->stream_seen || file->name.size() < file->name_length) return;
  std::string path =
      add_fs_entry(walk, file->name, parent, file->size, file->first_cluster, file->is_dir);
  bool enter = file->is_dir && file->first_cluster > 1;
  file->name.clear();  // one record per file
  file->stream_seen = false;
  if (enter) walk_exfat_dir(walk, vol, file->first_cluster, path, depth + 1);
}

void exfat_append_name(ExfatFile* file, const uint8_t* entry) {
  for (int k = 2; k <= 30 && file->name.size() < kMaxNameBytes; k += 2) {
    uint16_t unit = get_le16(entry + k);
    if (unit == 0) break;
    file->name += name_char(unit);
  }
}

// Only the directory's first cluster is read.
void walk_exfat_dir(Walk& walk, const ExfatVolume& vol, uint32_t cluster, const std::string& parent,
                    int depth) {
  if (depth >= kFsMaxDepth || !in_heap(cluster, vol.cluster_count) || walk.full()) return;
  if (!walk.walked.claim(cluster)) return;
  uint64_t offset = vol.heap_offset + uint64_t{cluster - 2} * vol.cluster_bytes;
  EntryStream entries(walk.read_at, {{offset, vol.cluster_bytes}});

  ExfatFile file;
  for (const uint8_t* e; !walk.full() && (e = entries.next()) != nullptr;) {
    uint8_t type = e[0];
    if (type != kExfatNameEntry) exfat_record(walk, vol, &file, parent, depth);
    if (type == kExfatEndOfDirectory) return;
    if (type == kExfatFileEntry) {
      file.is_dir = (get_le16(e + kExfatFileAttributes) & kFatDirectory) != 0;
      file.name.clear();
      file.stream_seen = false;
    } else if (type == kExfatStreamEntry) {
      file.name_length = e[kExfatNameLength];
      file.first_cluster = get_le32(e + kExfatFirstCluster);
      file.size = get_le64(e + kExfatDataLength);
      file.stream_seen = true;
    } else if (type == kExfatNameEntry) {
      exfat_append_name(&file, e);
    }
  }
  exfat_record(walk, vol, &file, parent, depth);
}

// The exFAT parameters, or false when the boot sector is not one we list.
bool exfat_volume(const uint8_t* boot, ExfatVolume* vol) {
  if (std::memcmp(boot + kExfatBootName, "EXFAT   ", 8) != 0) return false;
  unsigned sector_shift = boot[kExfatBootSectorShift], cluster_shift = boot[kExfatBootClusterShift];
  uint32_t count = get_le32(boot + kExfatBootClusterCount);
  if (sector_shift < 9 || sector_shift > 12 || count == 0) return false;
  if (sector_shift + cluster_shift > kExfatMaxClusterShift) return false;
  vol->heap_offset = uint64_t{get_le32(boot + kExfatBootHeapOffset)} << sector_shift;
  vol->cluster_count = count;
  vol->root_cluster = get_le32(boot + kExfatBootRootCluster);
  vol->cluster_bytes = uint64_t{1} << (sector_shift + cluster_shift);
  return true;
}

// ---- FAT32 ----

struct Fat32Volume {
  uint64_t fat_offset;
  uint64_t fat_bytes;
  uint64_t data_offset;
  uint64_t cluster_bytes;
  uint32_t cluster_count;
  uint32_t root_cluster;
};

struct Fat {
  const uint8_t* data;
  uint64_t size;
};

// A cluster that may hold data: in the heap and below the bad-cluster and
// end-of-chain marks, which a large enough disk would otherwise count in.
bool fat32_cluster(uint32_t cluster, const Fat32Volume& vol) {
  return in_heap(cluster, vol.cluster_count) && cluster < kFat32BadCluster;
}

// The byte ranges of the directory's cluster chain, each cluster claimed on
// the way: the chain ends at the first cluster already walked in this tree
// (so a looping chain is read once), where the FAT does not reach, at a mark
// that is not a data cluster, after 4096 clusters, or once it holds more
// than 4 MiB. Neighbouring clusters make one range.
std::vector<Extent> fat32_chain(Walk& walk, const Fat32Volume& vol, const Fat& fat,
                                uint32_t cluster) {
  std::vector<Extent> extents;
  uint64_t bytes = 0;
  uint32_t previous = 0;
  for (uint32_t read = 0; read < kFat32MaxDirClusters; read++) {
    if (read > 0 && !walk.walked.claim(cluster)) break;
    uint64_t offset = vol.data_offset + uint64_t{cluster - 2} * vol.cluster_bytes;
    if (read > 0 && cluster == previous + 1) {
      extents.back().length += vol.cluster_bytes;
    } else {
      extents.push_back({offset, vol.cluster_bytes});
    }
    previous = cluster;
    bytes += vol.cluster_bytes;
    if (bytes > kFat32MaxDirBytes) break;
    if (fat.size < 4 * uint64_t{cluster} + 4) break;
    uint32_t next = get_le32(fat.data + 4 * uint64_t{cluster}) & kFat32ClusterMask;
    if (!fat32_cluster(next, vol)) break;  // end-of-chain, bad or free
    cluster = next;
  }
  return extents;
}

// The 8.3 name: name and extension, each up to a NUL and without trailing
// spaces, joined as "%s.%s" when the extension is not empty, in code page
// 437. A first byte 0x05 stands for 0xE5, which marks deleted entries.
std::string short_name(const uint8_t* e) {
  auto part = [](const uint8_t* p, size_t n) {
    n = strnlen(reinterpret_cast<const char*>(p), n);
    while (n > 0 && p[n - 1] == ' ') n--;
    std::string out;
    for (size_t i = 0; i < n; i++) append_cp437(&out, p[i]);
    return out;
  };
  uint8_t base_bytes[8];
  std::memcpy(base_bytes, e, 8);
  if (base_bytes[0] == kFatDeletedStandIn) base_bytes[0] = kFatDeleted;
  std::string base = part(base_bytes, 8), ext = part(e + 8, 3);
  return ext.empty() ? base : base + "." + ext;
}

// Places one long-name part; the name is the characters before the first
// position never placed.
void place_long_part(const uint8_t* e, char* long_name) {
  static const int kUnitOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  unsigned n = e[0] & 0x1F;
  if (n < 1 || n > 20) return;
  // A name's entries start with its last part; what came before belongs to
  // no file (a name left over from a deletion, say), and its tail must not
  // run on after a new name that fills its last part exactly.
  if ((e[0] & kFatLastLongPart) != 0) std::memset(long_name, 0, kMaxNameBytes + 1);
  for (unsigned k = 0; k < 13; k++) {
    uint16_t unit = get_le16(e + kUnitOffsets[k]);
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
  std::string name(long_name, strnlen(long_name, kMaxNameBytes));
  std::memset(long_name, 0, kMaxNameBytes + 1);
  if (name.empty()) name = short_name(e);
  if (name == "." || name == "..") return;
  uint32_t first =
      uint32_t{get_le16(e + kFatFirstClusterHigh)} << 16 | get_le16(e + kFatFirstClusterLow);
  bool is_dir = (e[kFatAttributes] & kFatDirectory) != 0;
  std::string path = add_fs_entry(walk, name, parent, get_le32(e + kFatFileSize), first, is_dir);
  if (is_dir && first > 1) walk_fat32_dir(walk, vol, fat, first, path, depth + 1);
}

void walk_fat32_dir(Walk& walk, const Fat32Volume& vol, const Fat& fat, uint32_t cluster,
                    const std::string& parent, int depth) {
  if (depth >= kFsMaxDepth || !fat32_cluster(cluster, vol) || walk.full()) return;
  if (!walk.walked.claim(cluster)) return;
  EntryStream entries(walk.read_at, fat32_chain(walk, vol, fat, cluster));

  char long_name[kMaxNameBytes + 1] = {};
  for (const uint8_t* e; !walk.full() && (e = entries.next()) != nullptr;) {
    if (e[0] == kFatEndOfDirectory) return;
    if (e[0] == kFatDeleted) {
      // A tool that knows no long names deletes only the short entry; the
      // long name left before it is not the next file's.
      std::memset(long_name, 0, sizeof long_name);
      continue;
    }
    if (e[kFatAttributes] == kFatLongNameAttributes) {
      place_long_part(e, long_name);
    } else if ((e[kFatAttributes] & kFatVolumeLabel) != 0) {
      std::memset(long_name, 0, sizeof long_name);  // volume label
    } else {
      fat32_short_entry(walk, vol, fat, e, long_name, parent, depth);
    }
  }
}

// The FAT32 parameters, or false when the boot sector is not one we list.
bool fat32_volume(const uint8_t* boot, uint64_t disk_size, Fat32Volume* vol) {
  uint64_t sector = get_le16(boot + kFatBootBytesPerSector),
           per_cluster = boot[kFatBootSectorsPerCluster];
  uint64_t reserved = get_le16(boot + kFatBootReservedSectors);
  uint64_t fats = boot[kFatBootFatCount], fat_sectors = get_le32(boot + kFatBootFatSectors);
  if (boot[kBootSignature] != 0x55 || boot[kBootSignature + 1] != 0xAA) return false;
  if (sector < 512 || per_cluster == 0 || fat_sectors == 0 ||
      get_le16(boot + kFatBootRootEntries) != 0)
    return false;
  // From the disk size, not the boot sector: what the disk really holds.
  uint64_t disk_sectors = disk_size / sector, meta = reserved + fats * fat_sectors;
  uint64_t clusters = disk_sectors > meta ? (disk_sectors - meta) / per_cluster : 0;
  vol->cluster_count = static_cast<uint32_t>(std::min<uint64_t>(clusters, UINT32_MAX));
  if (vol->cluster_count < kFat32MinClusters) return false;
  vol->fat_offset = reserved * sector;
  vol->fat_bytes = std::min(sector * fat_sectors, kFat32MaxFatBytes);
  vol->data_offset = meta * sector;
  vol->cluster_bytes = sector * per_cluster;
  vol->root_cluster = get_le32(boot + kFatBootRootCluster);
  return true;
}

void list_fat32(Walk& walk, const Fat32Volume& vol) {
  // Without a FAT every directory is read as its first cluster only.
  std::unique_ptr<uint8_t[]> table(new (std::nothrow) uint8_t[vol.fat_bytes]);
  Fat fat{table.get(), 0};
  if (table && walk.read_at(vol.fat_offset, table.get(), vol.fat_bytes)) fat.size = vol.fat_bytes;
  walk_fat32_dir(walk, vol, fat, vol.root_cluster, "", 0);
}

// Appends each entry's JSON text to one string while it stays within the
// byte budget, and counts every entry.
class TreeJsonSink : public FsEntrySink {
 public:
  explicit TreeJsonSink(size_t max_bytes) : max_bytes_(max_bytes) {}

  void start(std::string_view fs_type) override {
    out_.text = "{\"fs_type\":";
    json_write_string(&out_.text, fs_type);
    out_.text += ",\"entries\":[";
  }

  void add(const FsEntry& e) override {
    out_.found++;
    if (out_.truncated) return;
    entry_.clear();
    if (out_.listed > 0) entry_ += ',';
    entry_ += "{\"name\":";
    json_write_string(&entry_, e.name);
    entry_ += ",\"path\":";
    json_write_string(&entry_, e.path);
    entry_ += ",\"size\":";
    json_write_number(&entry_, static_cast<double>(e.size));
    entry_ += e.is_dir ? ",\"is_dir\":true,\"cluster\":" : ",\"is_dir\":false,\"cluster\":";
    json_write_number(&entry_, e.cluster);
    entry_ += '}';
    size_t needed = out_.text.size() + entry_.size() + kTailBytes;
    if (needed > max_bytes_) {
      out_.truncated = true;
      return;
    }
    // Grown by doubling, but never beyond the budget.
    if (needed > out_.text.capacity())
      out_.text.reserve(std::min(max_bytes_, std::max(needed, 2 * out_.text.capacity())));
    out_.text += entry_;
    out_.listed++;
  }

  FsTreeJson finish(bool capped) {
    if (out_.found == 0) return FsTreeJson{};
    out_.truncated = out_.truncated || capped;
    out_.text += ']';
    if (out_.truncated) {
      out_.text += ",\"truncated\":true,\"entries_found\":";
      json_write_number(&out_.text, static_cast<double>(out_.found));
    }
    out_.text += '}';
    return std::move(out_);
  }

 private:
  // Room kept for what follows the entries: "]", the two members of a cut
  // list, "}".
  static constexpr size_t kTailBytes = 64;
  size_t max_bytes_;
  FsTreeJson out_;
  std::string entry_;
};

}  // namespace

FsWalkResult walk_fs_tree(const FsReadAt& read_at, uint64_t disk_size, FsEntrySink& sink) {
  FsWalkResult result;
  uint8_t boot[kBootSectorBytes];
  if (!read_at(0, boot, sizeof boot)) return result;
  ExfatVolume exfat;
  Fat32Volume fat32;
  bool is_exfat = exfat_volume(boot, &exfat);
  if (!is_exfat && !fat32_volume(boot, disk_size, &fat32)) return result;
  result.fs_type = is_exfat ? "exfat" : "fat32";
  sink.start(result.fs_type);
  Walk walk{
      read_at, sink,
      ClusterSet(is_exfat ? uint64_t{exfat.cluster_count} + 1 : uint64_t{fat32.cluster_count} + 1)};
  if (is_exfat) {
    walk_exfat_dir(walk, exfat, exfat.root_cluster, "", 0);
  } else {
    list_fat32(walk, fat32);
  }
  result.entries = walk.entries;
  result.capped = walk.capped;
  return result;
}

FsTreeJson build_fs_tree_json(const FsReadAt& read_at, uint64_t disk_size, size_t max_bytes) {
  TreeJsonSink sink(max_bytes);
  FsWalkResult walk = walk_fs_tree(read_at, disk_size, sink);
  return sink.finish(walk.capped);
}

FsReadAt fs_memory_reader(const uint8_t* data, uint64_t size) {
  return [data, size](uint64_t offset, uint8_t* buffer, uint64_t length) {
    if (offset > size || length > size - offset) return false;
    std::memcpy(buffer, data + offset, length);
    return true;
  };
}

}  // namespace halvex
