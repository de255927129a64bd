// Log lines are formatted into a local buffer first and written with the
// lock held, so each line leaves whole.

#include "core/log.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/files.h"
#include "platform/system.h"

namespace halvex {

namespace {

std::mutex g_log_mu;
FILE* g_log_file = nullptr;  // guarded by g_log_mu

const char* level_name(uint32_t level) {
  switch (level) {
    case LOG_DEBUG:
      return "DEBUG";
    case LOG_INFO:
      return "INFO ";
    case LOG_WARN:
      return "WARN ";
    case LOG_ERROR:
      return "ERROR";
    default:
      return "?????";
  }
}

}  // namespace

void log_open(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_log_mu);
  if (path.empty() || g_log_file != nullptr) return;
  g_log_file = file_open_append(path, 0600);  // private: it carries pairing codes
}

void log_close() {
  std::lock_guard<std::mutex> lock(g_log_mu);
  if (g_log_file != nullptr) std::fclose(g_log_file);
  g_log_file = nullptr;
}

void log_msg(uint32_t level, const char* format, ...) {
  if (level < kLogMinLevel) return;

  std::tm local{};
  system_local_time(std::time(nullptr), &local);
  char clock[32], stamp[32];
  std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string message(needed > 0 ? static_cast<size_t>(needed) : 0, '\0');
  if (needed > 0) std::vsnprintf(message.data(), message.size() + 1, format, args);
  va_end(args);

  const char* name = level_name(level);
  std::lock_guard<std::mutex> lock(g_log_mu);
  std::fprintf(stderr, "[%s %s] %s\n", clock, name, message.c_str());
  if (g_log_file != nullptr) {
    std::fprintf(g_log_file, "[%s %s] %s\n", stamp, name, message.c_str());
    std::fflush(g_log_file);
  }
}

}  // namespace halvex
