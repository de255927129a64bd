// The tree builder on arbitrary disks: the input is the start of a 256 MiB
// disk whose remaining bytes read as zeros, so that small inputs can still
// describe FAT32 volumes (which need 65526 clusters). The walk must end with
// a bounded list of well-formed entries whatever the bytes say.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "scan/fs_tree.h"

using halvex::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint64_t disk_size = uint64_t{256} << 20;
  halvex::FsReadAt read_at = [&](uint64_t offset, uint8_t* buf, uint64_t length) {
    if (offset > disk_size || length > disk_size - offset) return false;
    std::memset(buf, 0, length);
    if (offset < size) std::memcpy(buf, data + offset, std::min<uint64_t>(length, size - offset));
    return true;
  };
  halvex::FsTree tree = halvex::build_fs_tree(read_at, disk_size);
  check(tree.fs_type.empty() || tree.fs_type == "fat32" || tree.fs_type == "exfat", "known type");
  check(!tree.fs_type.empty() || tree.entries.empty(), "no volume, no entries");
  check(tree.entries.size() <= halvex::kFsMaxEntries, "bounded list");
  for (const halvex::FsEntry& e : tree.entries) {
    check(e.name.size() <= 255 && e.name.find('\0') == std::string::npos, "name of at most 255 characters");
    check(e.path.size() <= 511 && e.path[0] == '/', "path under the root, at most 511 characters");
  }
  return 0;
}
