#include "platform/program_search.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace halvex {

bool program_is_executable(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> program_search_path(const std::string& name) {
  std::vector<std::string> found;
  const char* env = std::getenv("PATH");
  std::string list = env ? env : "";
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    std::string dir = list.substr(start, end - start);
    start = end + 1;
    if (dir.empty() || dir[0] != '/') continue;
    if (dir.back() != '/') dir += '/';
    if (program_is_executable(dir + name)) found.push_back(dir + name);
  }
  return found;
}

bool program_is_root_owned(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace halvex
