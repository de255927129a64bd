#include "disk/disk_path.h"

#include <climits>
#include <cstdint>
#include <cstdio>

#include "disk/disk_text.h"

namespace halvex {

namespace {

constexpr std::string_view kPhysicalDrivePrefix = "\\\\.\\";  // \\.\ (four bytes)
constexpr std::string_view kPhysicalDriveWord = "PHYSICALDRIVE";
constexpr size_t kMaxDriveDigits = 10;  // INT_MAX has ten

}  // namespace

std::string physical_drive_path(int number) {
  char buf[64];  // the path is kept to 63 characters
  std::snprintf(buf, sizeof buf, "\\\\.\\PHYSICALDRIVE%d", number);
  return buf;
}

std::optional<int> physical_drive_number(std::string_view path) {
  if (path.substr(0, kPhysicalDrivePrefix.size()) != kPhysicalDrivePrefix) return std::nullopt;
  path.remove_prefix(kPhysicalDrivePrefix.size());
  if (!disk_equals_ignoring_case(path.substr(0, kPhysicalDriveWord.size()), kPhysicalDriveWord)) {
    return std::nullopt;
  }
  std::string_view digits = path.substr(kPhysicalDriveWord.size());
  if (digits.empty() || digits.size() > kMaxDriveDigits) return std::nullopt;
  int64_t number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + (c - '0');
  }
  if (number > INT_MAX) return std::nullopt;
  return static_cast<int>(number);
}

std::optional<std::string> disk_device_path(int number, const DeviceRoots& roots) {
  return disks_device_path(roots, number);
}

std::optional<std::string> disk_resolve_device(const std::string& path, const DeviceRoots& roots) {
  if (path.empty()) return std::nullopt;
  std::optional<int> number = physical_drive_number(path);
  if (!number) return path;
  return disk_device_path(*number, roots);
}

uint64_t get_disk_size(const std::string& path, const DeviceRoots& roots) {
  std::optional<std::string> device = disk_resolve_device(path, roots);
  return device ? disks_device_size(*device) : 0;
}

}  // namespace halvex
