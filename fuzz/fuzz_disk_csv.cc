// The Get-Disk CSV text: the field tokenizer, the line and output parsers,
// and the disk entries built from what they return. Whatever the input,
// the tokenizer always moves forward, parsing ends, and every entry is a
// well-formed disk entry.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "disk/disk.h"
#include "disk/disk_path.h"
#include "platform/win32/get_disk_csv.h"
#include "fuzz/fuzz_support.h"

using halvex::fuzz::check;

namespace {

void check_tokenizer(std::string_view text) {
  std::string_view cursor = text;
  while (!cursor.empty()) {
    size_t before = cursor.size();
    bool quoted = cursor[0] == '"';
    std::string field = halvex::csv_next_field(&cursor);
    check(cursor.size() < before, "each field moves the cursor forward");
    check(field.size() <= before, "a field is no longer than the text it came from");
    check(cursor.data() + cursor.size() == text.data() + text.size(),
          "the cursor stays in the text");
    if (!quoted) {
      check(field.find_first_of(",\r\n") == std::string::npos, "a plain field holds no separator");
    }
  }
  check(halvex::csv_next_field(&cursor).empty() && cursor.empty(), "the end stays the end");
}

void check_entry(const halvex::PhysicalDisk& disk) {
  check(disk.number >= 0, "disk numbers are not negative");
  check(disk.path == halvex::physical_drive_path(disk.number),
        "the path is the number's drive path");
  check(disk.path.size() <= 63, "the drive path fits 63 characters");
  check(halvex::physical_drive_number(disk.path) == disk.number, "the drive path reads back");
  halvex::Json entry = halvex::disk_entry_json(disk);
  std::string bus = halvex::json_get_string(entry.get(), "bus_type");
  check(bus == "usb" || bus == "nvme" || bus == "sata" || bus == "other", "a known bus class");
  check(halvex::json_get_bool(entry.get(), "removable", !(bus == "usb")) == (bus == "usb"),
        "removable exactly for usb");
  check(!halvex::json_get_string(entry.get(), "model").empty(), "a model is never empty");
  check(halvex::json_parse(halvex::json_print(entry.get())) != nullptr, "the entry prints as JSON");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  check_tokenizer(text);
  std::vector<halvex::PhysicalDisk> disks = halvex::get_disk_parse_output(text);
  size_t line_feeds = 0;
  for (char c : text) line_feeds += c == '\n';
  check(disks.size() <= (line_feeds == 0 ? 1 : line_feeds),
        "at most one disk per line after the header");
  for (const halvex::PhysicalDisk& disk : disks) check_entry(disk);
  return 0;
}
