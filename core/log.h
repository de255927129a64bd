// The process-wide log: every module writes through log_msg(). Each line goes
// to standard error and, once log_open() has named a file, to that file too,
// flushed line by line. Lines from different threads never interleave.
//
// File line:    [2025-01-31 14:05:09 INFO ] ws: connected
// Console line: [14:05:09 INFO ] ws: connected

#pragma once

#include <cstdint>
#include <string>

#include "platform/printf_format.h"

namespace halvex {

enum LogLevel : uint32_t {
  LOG_DEBUG = 0,
  LOG_INFO = 1,
  LOG_WARN = 2,
  LOG_ERROR = 3,
};

// Lines below this level are never written (DEBUG is compiled in but off).
constexpr uint32_t kLogMinLevel = LOG_INFO;

// Opens `path` for appending (created 0600, since the log carries pairing
// codes). Empty, or a failed open, leaves only the console copy; no message.
void log_open(const std::string& path);

// Closes the file copy, if any. Later lines go to the console only.
void log_close();

// Writes one line: printf-style format and arguments, no trailing newline.
// Any thread. Levels other than the four above are named "?????".
void log_msg(uint32_t level, const char* format, ...) HALVEX_PRINTF(2, 3);

}  // namespace halvex
