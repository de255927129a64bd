// Finding an outside program to run (ffmpeg) and opening it for running:
// whether a file can be run, the matches along the search path, and the
// program opened once, so that what runs is the very file that was looked
// at, whatever later happens to its path.
//
// A privileged process runs a program from a folder that others may control
// only when root owns the program and every folder of its real path, and
// nobody else can change any of them. The check is made on the opened
// descriptor and on folders opened one by one without following links, so
// a link swapped after the check cannot put another program in its place.
//
// Queries of the file system and the environment; any thread. A
// ProgramFile belongs to one thread at a time.

#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace halvex {

// True when `path` is a regular file (links followed) that this process may
// execute.
bool program_is_executable(const std::string& path);

// Every "<dir>/<name>" along $PATH, in order, that program_is_executable
// accepts. Empty and relative entries are passed over: they name folders
// relative to wherever the process happens to stand.
std::vector<std::string> program_search_path(const std::string& name);

// The file name of program `name` on this system: "ffmpeg" here,
// "ffmpeg.exe" on Windows (where a name with an extension stays as it is).
std::string program_file_name(const std::string& name);

// A fixed place where an outside program may be installed.
struct ProgramPlace {
  std::string path;
  // Only the administrator can put a file there (and change the folders
  // above it), so even a privileged process may run it unchecked.
  bool admin_only = false;
};

// The fixed places for program `name`, in search order: /usr/local/bin/name
// and /usr/bin/name here, both admin-only; on Windows
// "<Program Files>\name\bin\name.exe" (admin-only) and
// "C:\name\bin\name.exe" (which any user may create).
std::vector<ProgramPlace> program_system_places(const std::string& name);

// An opened program (a path-only descriptor, closed on exec). Owns the
// descriptor; spawn_program (platform/spawn.h) starts it.
class ProgramFile {
 public:
  ProgramFile() = default;
  ProgramFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~ProgramFile();
  ProgramFile(ProgramFile&& other) noexcept;
  ProgramFile& operator=(ProgramFile&& other) noexcept;
  ProgramFile(const ProgramFile&) = delete;
  ProgramFile& operator=(const ProgramFile&) = delete;

  int fd() const { return fd_; }
  // The path it was opened by, for messages and as the name it runs under.
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

// Opens the program at `path` (links followed): a regular file that this
// process may execute. With `needs_root_owner`, root must also own the file and
// every folder of its real path, and neither group nor others may write to
// any of them; a root-owned folder with the sticky bit (/tmp) may be
// writable by all, since there only an entry's owner can rename or remove
// it. nullopt when the program is missing or fails a test.
std::optional<ProgramFile> program_open(const std::string& path, bool needs_root_owner);

}  // namespace halvex
