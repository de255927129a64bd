#include "transfer/names.h"

#include "core/util.h"

namespace halvex {

namespace {

constexpr const char* kDefaultInstaller = "Halvex_Service_Setup.exe";

// Windows opens a device rather than a file in the folder for these names,
// whatever extension or trailing blanks follow: a download named "NUL.txt"
// would vanish, one named "COM1" would go out on a serial port.
bool windows_device_name(std::string_view name) {
  std::string_view base = name.substr(0, name.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
    if (ascii_equals_ignoring_case(base, device)) return true;
  std::string_view prefix = base.substr(0, 3);
  if (!ascii_equals_ignoring_case(prefix, "COM") && !ascii_equals_ignoring_case(prefix, "LPT"))
    return false;
  std::string_view port = base.substr(3);
  return (port.size() == 1 && port[0] >= '0' && port[0] <= '9') || port == "\xc2\xb9" ||
         port == "\xc2\xb2" || port == "\xc2\xb3";  // also superscript 1 to 3
}

bool usable_download_name(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || windows_device_name(name)) return false;
  for (char c : name) {
    auto b = static_cast<unsigned char>(c);
    if (b < 0x20 || b == 0x7F || c == ':') return false;
  }
  return true;
}

bool installer_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}

}  // namespace

std::string_view transfer_last_part(std::string_view text) {
  size_t sep = text.find_last_of("/\\");
  return sep == std::string_view::npos ? text : text.substr(sep + 1);
}

std::string download_name(const std::optional<std::string_view>& filename, int index) {
  if (filename) {
    std::string name = text_cut(transfer_last_part(*filename), kMaxFileNameBytes + 1);
    if (usable_download_name(name)) return name;
  }
  return "file_" + std::to_string(index);
}

std::optional<std::string> download_numbered_name(std::string_view name, int n) {
  size_t dot = name.rfind('.');
  std::string_view stem = dot == std::string_view::npos ? name : name.substr(0, dot);
  std::string_view ext = dot == std::string_view::npos ? std::string_view() : name.substr(dot);
  std::string suffix = " (" + std::to_string(n) + ")";
  if (ext.size() + suffix.size() > kMaxFileNameBytes) return std::nullopt;
  size_t room = kMaxFileNameBytes - ext.size() - suffix.size();
  return text_cut(stem, room + 1) + suffix + std::string(ext);
}

std::string update_installer_name(std::string_view filename) {
  std::string_view name = transfer_last_part(filename);
  if (name.empty() || name == "." || name == ".." || windows_device_name(name))
    return kDefaultInstaller;
  for (char c : name)
    if (!installer_char(c)) return kDefaultInstaller;
  return std::string(name);
}

}  // namespace halvex
