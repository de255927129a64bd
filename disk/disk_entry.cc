// One "disks" entry and the bus class; shared by every source of disks.

#include "core/util.h"
#include "disk/disk.h"
#include "disk/disk_text.h"

namespace halvex {

const char* disk_bus_class(std::string_view raw) {
  if (disk_equals_ignoring_case(raw, "USB")) return "usb";
  if (disk_equals_ignoring_case(raw, "NVMe")) return "nvme";
  for (const char* sata : {"SATA", "ATA", "IDE"}) {
    if (disk_equals_ignoring_case(raw, sata)) return "sata";
  }
  return "other";
}

Json disk_entry_json(const PhysicalDisk& disk) {
  std::string path = utf8_sanitize(disk.path);
  std::string bus_raw = utf8_sanitize(disk.bus_raw);
  std::string bus_class = disk_bus_class(disk.bus_raw);
  Json entry = json_object();
  json_add_number(entry.get(), "id", disk.number);
  json_add_string(entry.get(), "path", path);
  json_add_string(entry.get(), "name", path);
  json_add_string(entry.get(), "model",
                  disk.friendly_name.empty() ? path : utf8_sanitize(disk.friendly_name));
  json_add_number(entry.get(), "size", static_cast<double>(disk.size_bytes));
  json_add_string(entry.get(), "size_str", format_size(disk.size_bytes));
  json_add_string(entry.get(), "media_type", bus_raw);
  json_add_string(entry.get(), "bus_type", bus_class);
  json_add_string(entry.get(), "bus_type_raw", bus_raw);
  json_add_bool(entry.get(), "removable", bus_class == "usb");
  return entry;
}

}  // namespace halvex
