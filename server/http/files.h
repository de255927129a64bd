// Files for agents to download: everything under the data folder's
// "files/" is served read-only at "/files/<path>" (GET and HEAD). The
// path is percent-decoded once and walked one component at a time from
// the files folder, refusing ".", "..", empty components and every
// symbolic link, so nothing outside the folder can be reached; only
// regular files are served.
//
// No network code here: the network layer asks files_open() for an open
// descriptor and streams it. Any thread; no shared state.

#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace halvex::server {

// Where a request path for this module starts.
constexpr std::string_view kFilesPrefix = "/files/";

struct FileServe {
  int status = 404;   // 200, or the error status to answer with
  int fd = -1;        // with 200: the open file; the caller owns and closes it
  uint64_t size = 0;  // with 200: its size in bytes
  std::string text;   // otherwise: a short plain-text reason
};

// True when `path` (the target without its query) names the file tree.
bool files_is_target(std::string_view path);

// Opens the file that request path `path` names under `root` (the files
// folder) for `method`. 405 for anything but GET and HEAD, 400 for an
// undecodable path, 404 for anything missing, unsafe or not a regular file.
FileServe files_open(const std::string& root, std::string_view method, std::string_view path);

// Whether `name` may be a file's name in the folder: not empty, ".", "..",
// no '/' and no NUL.
bool files_valid_name(std::string_view name);

}  // namespace halvex::server
