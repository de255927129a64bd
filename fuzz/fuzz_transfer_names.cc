// File names from the server. Every name the transfer code derives must be
// one path component that stays in its folder: not empty, "." or "..", no
// separator, ':' or control character, at most 255 bytes; the installer's
// name only of letters, digits, '.', '_' and '-'.
//
// Input: the first byte picks the item index (1..256), the rest is the
// "filename" text.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "transfer/names.h"

using halvex::fuzz::check;

namespace {

void check_component(const std::string& name) {
  check(!name.empty() && name != "." && name != "..", "name is a real component");
  check(name.size() <= halvex::kMaxFileNameBytes, "name fits 255 bytes");
  for (char c : name) {
    auto b = static_cast<unsigned char>(c);
    check(c != '/' && c != '\\' && c != ':', "no separator or ':'");
    check(b >= 0x20 && b != 0x7F, "no control character");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  int index = data[0] + 1;
  std::string_view filename(reinterpret_cast<const char*>(data + 1), size - 1);

  std::string name = halvex::download_name(filename, index);
  check_component(name);
  check(name == halvex::download_name(name, index), "a derived name is kept as it is");
  for (int n : {1, 57, 998}) {
    std::optional<std::string> numbered = halvex::download_numbered_name(name, n);
    if (!numbered) continue;
    check_component(*numbered);
  }

  std::string installer = halvex::update_installer_name(filename);
  check(!installer.empty() && installer != "." && installer != "..",
        "installer name is a real component");
  for (char c : installer) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '_' || c == '-';
    check(ok, "installer name holds only plain characters");
  }
  return 0;
}
