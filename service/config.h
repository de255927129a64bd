// The identity store: one small JSON file, "halvex_service.conf", in the data
// folder, holding "machine_id", "private_key" (the Ed25519 seed) and
// "username". The data folder also holds the log and the crash log.
//
// Every operation may be called from any thread: loads, merges, deletes and
// the machine-id check-and-create are serialised by one lock, and a save
// replaces the file atomically, so a crash mid-save never leaves a truncated
// identity. The folder is private (0700) and the file 0600: it holds the key.

#pragma once

#include <string>

#include "core/json.h"

namespace halvex {

// Sets the data folder to `data_dir`, creating it and any missing folders
// above it (0700); the executable's folder when `data_dir` is empty or
// can't be made. Copies in a "halvex_service.conf" found beside the
// executable when the data folder has none. Call once, before the log opens.
void init_data_paths(const std::string& data_dir);

// Same, with the folder beside which a configuration is looked for given
// explicitly (the executable's folder in the product; tests pass their own).
void init_data_paths_from(const std::string& data_dir, const std::string& install_dir);

std::string get_data_dir();
std::string config_path();

// The parsed configuration, or null when the file is missing, empty, larger
// than 10 MiB, or not JSON.
Json config_load();

// Merges the members of `update` into the file: each is removed (every
// member of that name, any letter case) and appended anew, others stay.
// Returns false, without a message, if the file can't be written.
bool config_save(const cJSON* update);

// Deletes the configuration file.
void config_delete();

// The machine id: 12 lowercase hex digits, created and saved on first use.
// Read from the file on every call; a longer stored id is cut to 15.
std::string get_machine_id();

}  // namespace halvex
