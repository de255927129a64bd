#include "platform/win32/get_disk_csv.h"

#include <climits>
#include <cstdint>
#include <cstdio>

namespace halvex {

namespace {

// The value of the leading decimal digits, saturated at `max`.
uint64_t leading_digits(std::string_view text, uint64_t max) {
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (max - digit) / 10) return max;
    value = value * 10 + digit;
  }
  return value;
}

std::string quoted_field(std::string_view* cursor) {
  std::string_view text = cursor->substr(1);  // past the opening quote
  std::string field;
  size_t i = 0;
  for (; i < text.size(); i++) {
    if (text[i] != '"') {
      field.push_back(text[i]);
    } else if (i + 1 < text.size() && text[i + 1] == '"') {
      field.push_back('"');
      i++;
    } else {
      break;  // the closing quote
    }
  }
  if (i < text.size()) i++;  // drop the closing quote
  if (i < text.size() && text[i] == ',') i++;
  *cursor = text.substr(i);
  return field;
}

std::string plain_field(std::string_view* cursor) {
  size_t end = cursor->find_first_of(",\r\n");
  if (end == std::string_view::npos) {
    std::string field(*cursor);
    *cursor = cursor->substr(cursor->size());
    return field;
  }
  std::string field(cursor->substr(0, end));
  *cursor = cursor->substr(end + 1);
  return field;
}

// The output is read into a NUL-terminated buffer, so a NUL byte ends it;
// text after one would otherwise reach names that JSON then cuts short.
std::string_view up_to_nul(std::string_view text) { return text.substr(0, text.find('\0')); }

}  // namespace

std::string get_disk_drive_path(int number) {
  char buf[64];  // the path is kept to 63 characters
  std::snprintf(buf, sizeof buf, "\\\\.\\PHYSICALDRIVE%d", number);
  return buf;
}

std::string csv_next_field(std::string_view* cursor) {
  if (cursor->empty()) return "";
  if ((*cursor)[0] == '"') return quoted_field(cursor);
  return plain_field(cursor);
}

PhysicalDisk get_disk_parse_line(std::string_view line) {
  line = up_to_nul(line);
  std::string number = csv_next_field(&line);
  std::string name = csv_next_field(&line);
  std::string size = csv_next_field(&line);
  std::string bus = csv_next_field(&line);
  if (!bus.empty() && bus.back() == '\r') bus.pop_back();

  PhysicalDisk disk;
  disk.number = static_cast<int>(leading_digits(number, INT_MAX));
  disk.path = get_disk_drive_path(disk.number);
  disk.friendly_name = std::move(name);
  disk.size_bytes = leading_digits(size, UINT64_MAX);
  disk.bus_raw = std::move(bus);
  return disk;
}

std::vector<PhysicalDisk> get_disk_parse_output(std::string_view text) {
  text = up_to_nul(text);
  std::vector<PhysicalDisk> disks;
  size_t header_end = text.find('\n');
  if (header_end == std::string_view::npos) {
    disks.push_back(get_disk_parse_line(text));
    return disks;
  }
  std::string_view rest = text.substr(header_end + 1);
  for (;;) {
    size_t start = rest.find_first_not_of(" \r\n");
    if (start == std::string_view::npos) break;
    rest = rest.substr(start);
    size_t end = rest.find('\n');
    disks.push_back(get_disk_parse_line(rest.substr(0, end)));
    if (end == std::string_view::npos) break;
    rest = rest.substr(end + 1);
  }
  return disks;
}

}  // namespace halvex
