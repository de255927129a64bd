#include "core/util.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <thread>

#include "platform/system.h"

namespace halvex {

std::string format_size(uint64_t bytes) {
  char buf[64];
  double value = static_cast<double>(bytes);
  if (value < 1024) {
    std::snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(bytes));
    return buf;
  }
  static const char* const kUnits[] = {"KB", "MB", "GB", "TB"};
  for (int i = 0; i < 4; i++) {
    value /= 1024;
    if (value < 1024 || i == 3) {
      std::snprintf(buf, sizeof buf, "%.1f %s", value, kUnits[i]);
      break;
    }
  }
  return buf;
}

std::string format_timestamp() {
  std::tm local{};
  char buf[32] = "";
  if (system_local_time(std::time(nullptr), &local))
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &local);
  return buf;
}

bool get_hostname(std::string* out) {
  std::string name;
  if (!system_hostname(&name) || name.size() > 255) {
    *out = "Unknown";
    return false;
  }
  *out = name;
  return true;
}

void sleep_ms(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

std::string text_cut(std::string_view text, size_t capacity) {
  if (capacity == 0) return "";
  return std::string(text.substr(0, capacity - 1));
}

}  // namespace halvex
