// Naming a physical disk: the one mapping from a disk number (as the
// "list_disks" reply numbers disks in its "id" member) to the device to
// open, and the disk size query. Imaging, the raw scan and thumbnails all
// open disks through here, so that "disk 2" is the same device everywhere.
//
// A request may name a disk by the Windows form "\\.\PHYSICALDRIVE<n>"
// (literally: two backslashes, a dot, a backslash); it maps to disk n.
// Any other path is taken to be a device or image path already.
//
// Pure functions over the current device list; any thread. DeviceRoots
// moves the device trees for tests; production passes the default.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/disks.h"

namespace halvex {

// "\\.\PHYSICALDRIVE<n>" (without escapes).
std::string physical_drive_path(int number);

// n when `path` is exactly "\\.\PHYSICALDRIVE<n>" (the word in any letter
// case, n decimal digits with a value that fits an int); nullopt otherwise.
std::optional<int> physical_drive_number(std::string_view path);

// The device path of disk `number` ("/dev/sdb" here), or nullopt when
// there is no such disk.
std::optional<std::string> disk_device_path(int number, const DeviceRoots& roots = {});

// The device to open for `path`: disk n's device for "\\.\PHYSICALDRIVE<n>"
// (nullopt when there is no disk n), `path` itself for anything else
// (nullopt when it is empty).
std::optional<std::string> disk_resolve_device(const std::string& path,
                                               const DeviceRoots& roots = {});

// Length in bytes of the disk or disk image `path` names (resolved as
// above); 0 when it can't be opened or measured.
uint64_t get_disk_size(const std::string& path, const DeviceRoots& roots = {});

}  // namespace halvex
