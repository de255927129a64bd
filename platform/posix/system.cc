// POSIX machine and process facts.

#include "platform/system.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace halvex {

bool system_hostname(std::string* out) {
  char buf[256];
  if (::gethostname(buf, sizeof buf) != 0) return false;
  buf[sizeof buf - 1] = '\0';
  *out = buf;
  return true;
}

bool system_is_elevated() { return ::geteuid() == 0; }

bool system_local_time(std::time_t t, std::tm* out) { return ::localtime_r(&t, out) != nullptr; }

const char* system_platform_name() { return "Linux"; }

std::string system_app_data_dir() {
  if (::geteuid() == 0) return "/var/lib/halvex-service-native";
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/Halvex Service Native";
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    struct passwd* pw = ::getpwuid(::getuid());
    if (pw == nullptr || pw->pw_dir == nullptr) return "";
    home = pw->pw_dir;
  }
  return std::string(home) + "/.config/Halvex Service Native";
}

}  // namespace halvex
