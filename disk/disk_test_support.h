// Helpers shared by the disk tests.

#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "core/json.h"

namespace halvex::testing {

// Writes `text` to `path`, making its folders.
inline void write_file(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// `text` as a JSON string literal, quotes and escapes included.
inline std::string json_text(const std::string& text) {
  Json value = json_object();
  json_add_string(value.get(), "v", text);
  std::string printed = json_print(value.get());  // {"v":"..."}
  return printed.substr(5, printed.size() - 6);
}

}  // namespace halvex::testing
