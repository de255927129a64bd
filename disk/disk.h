// Disk browsing for the server: the "list_disks", "list_drives",
// "list_directories" and "validate_path" commands, answered with
// "disk_list", "drive_list", "directory_list" and "path_validated".
//
// Each reply is built by a function below that returns the payload; the
// handlers only send it. The handlers run on the connection thread and
// answer synchronously; nothing here keeps state, so the builders may be
// called from any thread. Physical disks by number, and their size, are in
// disk/disk_path.h.

#pragma once

#include <string>
#include <string_view>

#include "core/json.h"
#include "platform/disks.h"

namespace halvex {

// Registers "list_disks", "list_drives", "list_directories" and
// "validate_path", in this order.
void disk_register_handlers();

// {"disks": [entry...]}, one entry per whole disk in disk order. Logs INFO
// "disk: listing disks" before and "disk: found %d disk(s)" after.
Json disk_list_disks_reply(const DeviceRoots& roots);

// {"drives": [{"letter", "label", "path"}...], "quick_access": {...},
// "last_folder": ""}: mounted block-device file systems, then "Desktop",
// "Downloads" and "Documents" of `home` where they exist.
Json disk_list_drives_reply(const DeviceRoots& roots, const std::string& home);

// The "directory_list" payload for a "list_directories" request:
// {"dirs": [...], "files": [...] (with "include_files"), "error" (on
// failure), "path"}; {"path": "", "dirs": [], "error": "Invalid path"}
// when the request has no non-empty "path" string.
Json disk_list_directories_reply(const cJSON* request);

// The "path_validated" payload for a "validate_path" request.
Json disk_validate_path_reply(const cJSON* request);

// Building blocks, exposed for tests and for the Windows build's disk list.

// "usb", "nvme", "sata" or "other" for a raw bus type text, ignoring case.
const char* disk_bus_class(std::string_view raw);

// One "disks" entry: "id", "path", "name", "model", "size", "size_str",
// "media_type", "bus_type", "bus_type_raw", "removable", in this order.
Json disk_entry_json(const PhysicalDisk& disk);

// The quick-access object for the home folder `home` ({} when empty).
Json disk_quick_access(const std::string& home);

}  // namespace halvex
