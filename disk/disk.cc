// Physical disks and drives, and the registration of all four handlers.

#include "disk/disk.h"

#include <vector>

#include "core/log.h"
#include "core/util.h"
#include "disk/disk_text.h"
#include "link/proto.h"
#include "platform/dirs.h"

namespace halvex {

namespace {

const char* const kQuickAccessFolders[] = {"Desktop", "Downloads", "Documents"};

Json drive_entry_json(const MountedVolume& volume) {
  Json entry = json_object();
  json_add_string(entry.get(), "letter", utf8_sanitize(volume.name));
  json_add_string(entry.get(), "label", utf8_sanitize(volume.label));
  json_add_string(entry.get(), "path", utf8_sanitize(volume.mount_point));
  return entry;
}

void on_list_disks(const cJSON*) { send_event("disk_list", disk_list_disks_reply(DeviceRoots{})); }

void on_list_drives(const cJSON*) {
  send_event("drive_list", disk_list_drives_reply(DeviceRoots{}, dirs_user_home()));
}

void on_list_directories(const cJSON* d) {
  send_event("directory_list", disk_list_directories_reply(d));
}

void on_validate_path(const cJSON* d) { send_event("path_validated", disk_validate_path_reply(d)); }

}  // namespace

void disk_register_handlers() {
  register_handler("list_disks", on_list_disks);
  register_handler("list_drives", on_list_drives);
  register_handler("list_directories", on_list_directories);
  register_handler("validate_path", on_validate_path);
}

Json disk_list_disks_reply(const DeviceRoots& roots) {
  log_msg(LOG_INFO, "disk: listing disks");
  std::vector<PhysicalDisk> disks;
  std::string error;
  if (!disks_list_physical(roots, &disks, &error)) {
    // The protocol's one failure line for a disk list that could not be
    // taken, whatever the source (here: no readable <sysfs>/block).
    log_msg(LOG_ERROR, "disk: PowerShell Get-Disk failed");
  }
  Json array = json_array();
  for (const PhysicalDisk& disk : disks) json_append(array.get(), disk_entry_json(disk));
  log_msg(LOG_INFO, "disk: found %d disk(s)", static_cast<int>(disks.size()));
  Json reply = json_object();
  json_add_item(reply.get(), "disks", std::move(array));
  return reply;
}

Json disk_quick_access(const std::string& home) {
  Json folders = json_object();
  if (home.empty()) return folders;
  for (const char* name : kQuickAccessFolders) {
    std::string path = dirs_join_path(home, name);
    if (path_kind(path) != PathKind::kMissing)
      json_add_string(folders.get(), name, utf8_sanitize(path));
  }
  return folders;
}

Json disk_list_drives_reply(const DeviceRoots& roots, const std::string& home) {
  log_msg(LOG_INFO, "disk: listing drives");
  Json drives = json_array();
  for (const MountedVolume& volume : disks_list_volumes(roots)) {
    json_append(drives.get(), drive_entry_json(volume));
  }
  Json reply = json_object();
  json_add_item(reply.get(), "drives", std::move(drives));
  json_add_item(reply.get(), "quick_access", disk_quick_access(home));
  json_add_string(reply.get(), "last_folder", "");
  return reply;
}

}  // namespace halvex
