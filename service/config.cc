#include "core/coding.h"
#include "service/config.h"

#include <cstdio>
#include <mutex>

#include "core/log.h"
#include "core/util.h"
#include "platform/files.h"
#include "platform/random.h"

namespace halvex {

namespace {

constexpr const char* kConfigName = "halvex_service.conf";
constexpr uint64_t kMaxConfigBytes = 10 * 1024 * 1024;
constexpr unsigned kDirMode = 0700;
constexpr unsigned kFileMode = 0600;

std::mutex g_config_mu;  // one lock for every read-modify-write of the file
std::string g_data_dir;
std::string g_config_path;

Json load_locked() {
  std::string text;
  if (!file_read_all(g_config_path, kMaxConfigBytes, &text) || text.empty()) return nullptr;
  return json_parse(text);
}

bool save_locked(const cJSON* update) {
  Json current = load_locked();
  if (!current || !json_is_object(current.get())) current = json_object();
  json_merge(current.get(), update);
  std::string text = json_print(current.get());
  if (text.empty()) return false;
  std::string error;
  return file_write_atomic(g_config_path, text, kFileMode, &error);
}

// The first two fields of a random (version 4) UUID, "%08x%04x": 48 random
// bits. Empty if the random source fails.
std::string new_machine_id() {
  unsigned char b[6];
  if (!random_bytes(b, sizeof b)) return "";
  char id[16];
  std::snprintf(id, sizeof id, "%08x%04x", unsigned{get_be32(b)}, unsigned{get_be16(b + 4)});
  return id;
}

}  // namespace

void init_data_paths(const std::string& data_dir) { init_data_paths_from(data_dir, exe_dir()); }

void init_data_paths_from(const std::string& data_dir, const std::string& install_dir) {
  std::lock_guard<std::mutex> lock(g_config_mu);
  // A folder that can't be made (a file in the way, no permission) would
  // lose the identity, the key and the log at every start: the
  // executable's folder keeps them instead.
  g_data_dir = data_dir.empty() || !dir_create(data_dir, kDirMode) ? install_dir : data_dir;
  g_config_path = g_data_dir + "/" + kConfigName;
  if (!file_exists(g_config_path)) {
    std::string beside = install_dir + "/" + kConfigName;
    if (!install_dir.empty() && file_exists(beside))
      file_copy_new(beside, g_config_path, kFileMode);
  }
  log_msg(LOG_DEBUG, "Config path: %s", g_config_path.c_str());
}

std::string get_data_dir() {
  std::lock_guard<std::mutex> lock(g_config_mu);
  return g_data_dir;
}

std::string config_path() {
  std::lock_guard<std::mutex> lock(g_config_mu);
  return g_config_path;
}

Json config_load() {
  std::lock_guard<std::mutex> lock(g_config_mu);
  return load_locked();
}

bool config_save(const cJSON* update) {
  std::lock_guard<std::mutex> lock(g_config_mu);
  return save_locked(update);
}

void config_delete() {
  std::lock_guard<std::mutex> lock(g_config_mu);
  file_remove(g_config_path);
}

std::string get_machine_id() {
  std::lock_guard<std::mutex> lock(g_config_mu);
  Json config = load_locked();
  std::string id = json_get_string(config.get(), "machine_id");
  if (!id.empty()) return text_cut(id, 16);
  id = new_machine_id();
  if (id.empty()) {
    log_msg(LOG_ERROR, "config: random source failed, no machine id");
    return "";
  }
  Json update = json_object();
  json_add_string(update.get(), "machine_id", id);
  save_locked(update.get());
  return id;
}

}  // namespace halvex
