// The console's static files (server/admin/static/), built into the binary
// by server/admin/embed.cmake. Constant data; any thread.

#pragma once

#include <cstddef>
#include <string_view>

namespace halvex::server {

struct ConsoleAsset {
  std::string_view name;   // the file name, e.g. "console.js"
  std::string_view bytes;  // its contents
};

extern const ConsoleAsset kConsoleAssets[];
extern const size_t kConsoleAssetCount;

}  // namespace halvex::server
