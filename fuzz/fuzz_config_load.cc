// The identity store read back from whatever bytes are in its file (a file
// another program, a crash or a bad disk may have written). Loading must
// never crash; the machine id is 1..15 characters; and a save always leaves
// a file that loads again as an object holding what was saved and the same
// machine id.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "core/json.h"
#include "fuzz/fuzz_support.h"
#include "service/config.h"

using halvex::fuzz::check;

namespace {

std::string g_config_path;

void write_file(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  check(f != nullptr, "open the configuration file for writing");
  check(size == 0 || std::fwrite(data, 1, size, f) == size, "write the configuration file");
  check(std::fclose(f) == 0, "close the configuration file");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string dir = halvex::fuzz::make_temp_dir("config");
  halvex::init_data_paths_from(dir, dir);
  g_config_path = halvex::config_path();
  check(!g_config_path.empty(), "a configuration path");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  write_file(g_config_path, data, size);

  halvex::Json loaded = halvex::config_load();
  (void)loaded;

  std::string id = halvex::get_machine_id();
  check(!id.empty() && id.size() <= 15, "machine id is 1..15 characters");

  halvex::Json update = halvex::json_object();
  halvex::json_add_string(update.get(), "username", "fuzz");
  check(halvex::config_save(update.get()), "save into a writable folder");

  halvex::Json reloaded = halvex::config_load();
  check(reloaded != nullptr, "the saved file loads again");
  check(halvex::json_is_object(reloaded.get()), "the saved file is an object");
  check(halvex::json_has(reloaded.get(), "username"), "the saved member is there");
  check(halvex::json_has(reloaded.get(), "machine_id"), "the machine id is there");
  return 0;
}
