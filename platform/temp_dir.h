// Private temporary folders: each made fresh with mkdtemp (mode 0700) under
// $TMPDIR, else /tmp, so no other user can read it or plant anything in it
// and no name in it can be guessed in advance.
//
// Threads: any thread; nothing is kept between calls.

#pragma once

#include <optional>
#include <string>

namespace halvex {

// Makes "<tmp>/<prefix>-XXXXXX" and returns its path (no trailing '/').
// nullopt with *error "create temporary folder: cause" on failure.
std::optional<std::string> temp_dir_create(const std::string& prefix, std::string* error);

// Removes an empty folder. False when it is not empty or can't be removed.
bool temp_dir_remove(const std::string& path);

}  // namespace halvex
