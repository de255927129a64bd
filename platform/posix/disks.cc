// Linux disks and volumes: sysfs for the whole disks, BLKGETSIZE64 for a
// device's length, /proc/self/mountinfo and /dev/disk/by-label for volumes.

#include "platform/disks.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/dirs.h"
#include "platform/files.h"

namespace halvex {

namespace {

constexpr uint64_t kSysfsSectorBytes = 512;  // sysfs "size" is always in 512-byte units
constexpr uint64_t kSysfsAttrMaxBytes = 4096;
constexpr uint64_t kMountTableMaxBytes = 16u << 20;

// Closes a descriptor when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string trim(std::string text) {
  const char* space = " \t\r\n";
  size_t end = text.find_last_not_of(space);
  if (end == std::string::npos) return "";
  return text.substr(0, end + 1).substr(text.find_first_not_of(space));
}

// One sysfs attribute, trimmed; "" when missing.
std::string read_attr(const std::string& path) {
  std::string text;
  if (!file_read_all(path, kSysfsAttrMaxBytes, &text)) return "";
  return trim(text);
}

bool starts_with_number(const std::string& name, const char* prefix) {
  size_t n = std::strlen(prefix);
  return name.size() > n && name.compare(0, n, prefix) == 0 && name[n] >= '0' && name[n] <= '9';
}

// Memory-backed devices are not disks anyone wants to image.
bool is_virtual_memory_disk(const std::string& name) {
  return starts_with_number(name, "loop") || starts_with_number(name, "ram") ||
         starts_with_number(name, "zram");
}

std::optional<std::vector<std::string>> whole_disk_names(const DeviceRoots& roots,
                                                         std::string* error) {
  std::string block = roots.sysfs + "/block";
  DirReader reader(block, false);
  if (reader.error() != DirError::kNone) {
    *error = "cannot read " + block;
    return std::nullopt;
  }
  std::vector<std::string> names;
  for (DirEntry entry; reader.next(&entry);) {
    if (!is_virtual_memory_disk(entry.name)) names.push_back(entry.name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// "vendor model". A numeric vendor (virtio's PCI id "0x1af4") and libata's
// placeholder "ATA" name no maker, so they are left out.
std::string friendly_name(const std::string& disk_dir) {
  std::string vendor = read_attr(disk_dir + "/device/vendor");
  std::string model = read_attr(disk_dir + "/device/model");
  if (vendor.rfind("0x", 0) == 0 || vendor == "ATA") vendor.clear();
  if (vendor.empty()) return model;
  if (model.empty()) return vendor;
  return vendor + " " + model;
}

uint64_t sysfs_size_bytes(const std::string& disk_dir) {
  std::string text = read_attr(disk_dir + "/size");
  if (text.empty() || text.size() > 20) return 0;
  uint64_t sectors = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (sectors > (UINT64_MAX - digit) / 10) return 0;
    sectors = sectors * 10 + digit;
  }
  if (sectors > UINT64_MAX / kSysfsSectorBytes) return 0;
  return sectors * kSysfsSectorBytes;
}

std::string real_path(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return "";
  std::string out(resolved);
  std::free(resolved);
  return out;
}

bool has_component(const std::vector<std::string>& parts, const char* prefix) {
  return std::any_of(parts.begin(), parts.end(), [prefix](const std::string& part) {
    return starts_with_number(part, prefix);
  });
}

// The bus named by the device's place in the sysfs device tree. Checked
// from the outermost bridge inwards: a USB enclosure holds a SCSI host,
// virtio-scsi holds one too.
std::string bus_from_device_path(const std::string& relative) {
  std::vector<std::string> parts;
  for (size_t start = 0; start <= relative.size();) {
    size_t slash = relative.find('/', start);
    if (slash == std::string::npos) slash = relative.size();
    parts.push_back(relative.substr(start, slash - start));
    start = slash + 1;
  }
  if (has_component(parts, "usb")) return "USB";
  if (has_component(parts, "nvme")) return "NVMe";
  if (has_component(parts, "ata")) return "SATA";
  if (has_component(parts, "mmc")) return "SD";
  if (has_component(parts, "host")) return "SCSI";
  if (has_component(parts, "virtio")) return "Virtio";
  if (relative.rfind("/devices/virtual/", 0) == 0) return "Virtual";
  return "";
}

// The device path below the sysfs root, e.g. "/devices/pci0000:00/.../block/sda".
std::string bus_raw(const DeviceRoots& roots, const std::string& name) {
  std::string root = real_path(roots.sysfs);
  std::string device = real_path(roots.sysfs + "/block/" + name);
  if (root.empty() || device.compare(0, root.size(), root) != 0) return "";
  return bus_from_device_path(device.substr(root.size()));
}

// Mount tables write space, tab, newline and backslash as "\ooo".
std::string decode_octal_escapes(const std::string& text) {
  auto octal = [](char c, char top) { return c >= '0' && c <= top; };
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '\\' && i + 3 < text.size() && octal(text[i + 1], '3') &&
        octal(text[i + 2], '7') && octal(text[i + 3], '7')) {
      out.push_back(static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                      (text[i + 3] - '0')));
      i += 3;
      continue;
    }
    out.push_back(text[i]);
  }
  return out;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// udev names by-label links with unsafe bytes as "\xHH" ("My\x20Disk").
std::string decode_udev_escapes(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
      int hi = hex_value(text[i + 2]);
      int lo = hex_value(text[i + 3]);
      if (hi >= 0 && lo >= 0) {
        out.push_back(static_cast<char>(hi * 16 + lo));
        i += 3;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

// Canonical device path -> label, from the links in <dev>/disk/by-label.
std::map<std::string, std::string> labels_by_device(const DeviceRoots& roots) {
  std::map<std::string, std::string> labels;
  std::string dir = roots.dev + "/disk/by-label";
  DirReader reader(dir, false);
  for (DirEntry entry; reader.next(&entry);) {
    std::string device = real_path(dir + "/" + entry.name);
    if (!device.empty()) labels[device] = decode_udev_escapes(entry.name);
  }
  return labels;
}

struct MountRecord {
  std::string mount_point;
  std::string source;
};

std::vector<std::string> split_spaces(const std::string& line) {
  std::vector<std::string> fields;
  for (size_t start = 0; start < line.size();) {
    size_t space = line.find(' ', start);
    if (space == std::string::npos) space = line.size();
    if (space > start) fields.push_back(line.substr(start, space - start));
    start = space + 1;
  }
  return fields;
}

// "36 35 98:0 /root /mnt/point opts [optional...] - fstype source superopts"
std::optional<MountRecord> parse_mountinfo_line(const std::string& line) {
  std::vector<std::string> fields = split_spaces(line);
  auto dash = std::find(fields.begin() + std::min<size_t>(fields.size(), 6), fields.end(), "-");
  if (fields.size() < 6 || fields.end() - dash < 3) return std::nullopt;
  return MountRecord{decode_octal_escapes(fields[4]), decode_octal_escapes(*(dash + 2))};
}

}  // namespace

bool disks_list_physical(const DeviceRoots& roots, std::vector<PhysicalDisk>* out,
                         std::string* error) {
  out->clear();
  std::optional<std::vector<std::string>> names = whole_disk_names(roots, error);
  if (!names) return false;
  for (const std::string& name : *names) {
    std::string dir = roots.sysfs + "/block/" + name;
    PhysicalDisk disk;
    disk.number = static_cast<int>(out->size());
    disk.path = roots.dev + "/" + name;
    disk.friendly_name = friendly_name(dir);
    disk.size_bytes = sysfs_size_bytes(dir);
    disk.bus_raw = bus_raw(roots, name);
    out->push_back(std::move(disk));
  }
  return true;
}

std::optional<std::string> disks_device_path(const DeviceRoots& roots, int number) {
  std::string error;
  std::optional<std::vector<std::string>> names = whole_disk_names(roots, &error);
  if (!names || number < 0 || static_cast<size_t>(number) >= names->size()) return std::nullopt;
  return roots.dev + "/" + (*names)[static_cast<size_t>(number)];
}

uint64_t disks_device_size(const std::string& path) {
  // Only block devices and regular files are opened: opening some character
  // devices has effects of its own (a watchdog arms itself on open).
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return 0;
  if (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode)) return 0;
  Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) return 0;
  if (S_ISREG(st.st_mode)) return static_cast<uint64_t>(st.st_size);
  uint64_t bytes = 0;
  if (!S_ISBLK(st.st_mode) || ::ioctl(fd.get(), BLKGETSIZE64, &bytes) != 0) return 0;
  return bytes;
}

std::vector<MountedVolume> disks_list_volumes(const DeviceRoots& roots) {
  std::string table;
  if (!file_read_all(roots.mountinfo, kMountTableMaxBytes, &table)) return {};
  // Later mounts hide earlier ones at the same point: keep the last record
  // of each mount point, at the position where the point first appeared.
  std::vector<MountRecord> records;
  std::map<std::string, size_t> index_of;
  for (size_t start = 0; start < table.size();) {
    size_t end = table.find('\n', start);
    if (end == std::string::npos) end = table.size();
    std::optional<MountRecord> record = parse_mountinfo_line(table.substr(start, end - start));
    start = end + 1;
    if (!record) continue;
    auto [it, fresh] = index_of.emplace(record->mount_point, records.size());
    if (fresh) {
      records.push_back(std::move(*record));
    } else {
      records[it->second] = std::move(*record);
    }
  }
  std::map<std::string, std::string> labels = labels_by_device(roots);
  std::vector<MountedVolume> volumes;
  for (const MountRecord& record : records) {
    if (record.source.rfind("/dev/", 0) != 0) continue;
    if (path_kind(record.mount_point) != PathKind::kDirectory) continue;  // a file bind-mounted
    auto label = labels.find(real_path(roots.dev + record.source.substr(4)));
    volumes.push_back(
        {record.mount_point, label == labels.end() ? "" : label->second, record.mount_point});
  }
  return volumes;
}

}  // namespace halvex
