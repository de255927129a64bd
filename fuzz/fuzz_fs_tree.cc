// The tree builder on arbitrary disks: the input is the start of a 256 MiB
// disk whose remaining bytes read as zeros, so that small inputs can still
// describe FAT32 volumes (which need 65526 clusters). The walk must end with
// a bounded list of well-formed UTF-8 entries whatever the bytes say, and
// the JSON text built during the walk must be JSON, within its budget, and
// list the same entries in the same order.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "core/json.h"
#include "fuzz/fuzz_support.h"
#include "scan/fs_tree_testing.h"

using halvex::fuzz::check;

namespace {

// Well-formed UTF-8 (no overlong forms, surrogates or code points past
// U+10FFFF): what the server's WebSocket accepts as text.
bool valid_utf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
    auto cont = [&](size_t k, uint8_t lo, uint8_t hi) {
      return k < s.size() && b(k) >= lo && b(k) <= hi;
    };
    uint8_t c = b(i);
    size_t n =
        c < 0x80                                            ? 1
        : c >= 0xC2 && c <= 0xDF && cont(i + 1, 0x80, 0xBF) ? 2
        : c >= 0xE0 && c <= 0xEF && cont(i + 1, c == 0xE0 ? 0xA0 : 0x80, c == 0xED ? 0x9F : 0xBF) &&
                cont(i + 2, 0x80, 0xBF)
            ? 3
        : c >= 0xF0 && c <= 0xF4 && cont(i + 1, c == 0xF0 ? 0x90 : 0x80, c == 0xF4 ? 0x8F : 0xBF) &&
                cont(i + 2, 0x80, 0xBF) && cont(i + 3, 0x80, 0xBF)
            ? 4
            : 0;
    if (n == 0) return false;
    i += n;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint64_t disk_size = uint64_t{256} << 20;
  halvex::FsReadAt read_at = [&](uint64_t offset, uint8_t* buf, uint64_t length) {
    if (offset > disk_size || length > disk_size - offset) return false;
    std::memset(buf, 0, length);
    if (offset < size) std::memcpy(buf, data + offset, std::min<uint64_t>(length, size - offset));
    return true;
  };
  halvex::FsTree tree = halvex::list_fs_tree(read_at, disk_size);
  check(tree.fs_type.empty() || tree.fs_type == "fat32" || tree.fs_type == "exfat", "known type");
  check(!tree.fs_type.empty() || tree.entries.empty(), "no volume, no entries");
  check(tree.entries.size() <= halvex::kFsMaxEntries, "bounded list");
  for (const halvex::FsListedEntry& e : tree.entries) {
    check(e.name.size() <= 255 && e.name.find('\0') == std::string::npos,
          "name of at most 255 bytes");
    check(e.path.size() <= 511 && e.path[0] == '/', "path under the root, at most 511 bytes");
    check(valid_utf8(e.name) && valid_utf8(e.path), "UTF-8 name and path");
  }

  // A small budget, so that cutting is exercised too.
  const size_t budget = 4096;
  halvex::FsTreeJson json = halvex::build_fs_tree_json(read_at, disk_size, budget);
  check(json.found == tree.entries.size(), "the JSON walk finds what the list walk finds");
  check(json.text.empty() == tree.entries.empty(), "text exactly when there are entries");
  if (json.text.empty()) return 0;
  check(json.text.size() <= budget, "text within its budget");
  check(json.listed <= json.found && json.truncated == (json.listed < json.found || tree.capped),
        "counts");
  halvex::Json parsed = halvex::json_parse(json.text);
  check(parsed != nullptr, "text is JSON");
  const cJSON* entries = halvex::json_get(parsed.get(), "entries");
  check(static_cast<size_t>(halvex::json_array_size(entries)) == json.listed, "entries listed");
  check(halvex::json_get_string(parsed.get(), "fs_type") == tree.fs_type, "type");
  check(halvex::json_get_bool(parsed.get(), "truncated") == json.truncated, "truncated member");
  for (size_t i = 0; i < json.listed; i++) {
    const cJSON* e = halvex::json_array_item(entries, static_cast<int>(i));
    check(halvex::json_get_string(e, "path") == tree.entries[i].path,
          "same entries in the same order");
  }
  return 0;
}
