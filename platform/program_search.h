// Finding an outside program to run (ffmpeg): whether a file can be run,
// the matches along the search path, and the ownership test a privileged
// process applies before it runs a program from a folder that others may
// control.
//
// Pure queries of the file system and the environment; any thread.

#pragma once

#include <string>
#include <vector>

namespace halvex {

// True when `path` is a regular file (links followed) that this process may
// execute.
bool program_is_executable(const std::string& path);

// Every "<dir>/<name>" along $PATH, in order, that program_is_executable
// accepts. Empty and relative entries are passed over: they name folders
// relative to wherever the process happens to stand.
std::vector<std::string> program_search_path(const std::string& name);

// True when `path` is a regular file owned by root that neither its group
// nor others may write.
bool program_is_root_owned(const std::string& path);

}  // namespace halvex
