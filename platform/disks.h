// Physical disks and mounted volumes as the operating system reports them:
// which whole disks exist (in a stable order, so that "disk N" names the
// same device in every caller), their size, model and bus, and which file
// systems are mounted from block devices, with their labels.
//
// Where the facts come from is this build's business: on Linux the sysfs
// tree, the /dev tree and /proc/self/mountinfo. DeviceRoots moves those
// places so that tests run on fixture trees; the defaults are the real ones.
// On Windows the disks are PowerShell's Get-Disk list, disk N is
// \\.\PHYSICALDRIVE<N>, the volumes are the drive letters, and DeviceRoots
// plays no part.
//
// Every function may be called from any thread; none keeps state.

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace halvex {

// Where device facts are read. Production code passes DeviceRoots{}.
struct DeviceRoots {
  std::string sysfs = "/sys";
  std::string dev = "/dev";
  std::string mountinfo = "/proc/self/mountinfo";
};

// One whole physical disk.
struct PhysicalDisk {
  int number = 0;             // position in the disk order, from 0
  std::string path;           // the device to open: "<dev>/sda" here
  std::string friendly_name;  // vendor and model; empty when unknown
  uint64_t size_bytes = 0;    // 0 when unknown
  std::string bus_raw;        // "USB", "NVMe", "SATA", "SCSI", "Virtio", "SD" or ""
};

// The whole disks in disk order: the entries of <sysfs>/block sorted by
// name (byte order), without loop, ram and zram devices. On success *out
// holds them (possibly none) and the result is true; when the block folder
// can't be read, *out is empty, *error says why and the result is false.
bool disks_list_physical(const DeviceRoots& roots, std::vector<PhysicalDisk>* out,
                         std::string* error);

// The device path of disk `number` in the same order, or nullopt when there
// is no such disk.
std::optional<std::string> disks_device_path(const DeviceRoots& roots, int number);

// The length in bytes of a block device (asked of the device itself) or of
// a regular file such as a disk image. 0 for anything else (folders, pipes,
// character devices), and for anything that can't be opened or measured.
// Never blocks on a pipe or a terminal.
uint64_t disks_device_size(const std::string& path);

// A file system mounted from a block device.
struct MountedVolume {
  std::string mount_point;  // decoded: "\040" in the mount table is a space
  std::string label;        // the file-system label; empty when it has none
  std::string name;         // what the user calls it: the mount point here, "C:" on Windows
};

// The mounted file systems whose source is a device under /dev and whose
// mount point is a folder, in mount-table order; a mount point mounted over
// again is listed once, with the file system now visible there. Empty when
// the mount table can't be read.
std::vector<MountedVolume> disks_list_volumes(const DeviceRoots& roots);

}  // namespace halvex
