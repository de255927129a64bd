// Helpers shared by the disk tests.

#pragma once

#include <string>

#include "core/json.h"

namespace halvex::testing {

// `text` as a JSON string literal, quotes and escapes included.
inline std::string json_text(const std::string& text) {
  Json value = json_object();
  json_add_string(value.get(), "v", text);
  std::string printed = json_print(value.get());  // {"v":"..."}
  return printed.substr(5, printed.size() - 6);
}

// A request naming `path`, with the members in `more` (",name:value...").
inline std::string path_request(const std::string& path, const std::string& more = "") {
  return "{\"path\":" + json_text(path) + more + "}";
}

}  // namespace halvex::testing
