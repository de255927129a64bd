// Files and folders: the few file-system operations the agent needs, with
// the POSIX details (EINTR, short reads and writes, modes) kept here.
//
// All functions are safe to call from any thread; none keeps state.

#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace halvex {

// Creates the folder, and every missing folder above it, with `mode`.
// Returns true if it exists afterwards (also when it existed before).
// Existing folders' modes are left alone.
bool dir_create(const std::string& path, unsigned mode);

bool file_exists(const std::string& path);

// Size of a regular file, or nullopt when it can't be examined.
std::optional<uint64_t> file_size(const std::string& path);

// Reads the whole file into *out. Fails (returns false, *out unspecified)
// when the file can't be opened or read, or when it is larger than
// `max_bytes`.
bool file_read_all(const std::string& path, uint64_t max_bytes, std::string* out);

// Replaces `path` with `data` so that a reader, or the file after a crash,
// sees either the old content or the new, never a mix: the bytes go to a
// temporary file in the same folder, are flushed to disk, and the temporary
// is renamed over `path`. The new file has `mode`. On failure the old file
// is untouched, no temporary is left, and *error says why.
bool file_write_atomic(const std::string& path, const std::string& data, unsigned mode,
                       std::string* error);

// Replaces `to` with a copy of `from` the way file_write_atomic replaces a
// file, reading `from` a piece at a time (its size is not bound by memory).
bool file_copy_atomic(const std::string& from, const std::string& to, unsigned mode,
                      std::string* error);

// Copies `from` to `to` with `mode`, failing if `to` exists already.
bool file_copy_new(const std::string& from, const std::string& to, unsigned mode);

// Opens `path` for appending as a stdio stream, creating it with `mode`.
// Null on failure. The caller closes it with fclose.
FILE* file_open_append(const std::string& path, unsigned mode);

// Deletes a file. Returns true if it was removed.
bool file_remove(const std::string& path);

// Full path of the running executable, and the folder that holds it
// (without a trailing separator). Empty when unknown.
std::string exe_path();
std::string exe_dir();

}  // namespace halvex
