// Private temporary folders with mkdtemp.

#include "platform/temp_dir.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace halvex {

std::optional<std::string> temp_dir_create(const std::string& prefix, std::string* error) {
  const char* env = std::getenv("TMPDIR");
  std::string root = env != nullptr && env[0] == '/' ? env : "/tmp";
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  std::string tmpl = root + "/" + prefix + "-XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) {  // mkdtemp makes it 0700
    *error = "create temporary folder " + tmpl + ": " + std::strerror(errno);
    return std::nullopt;
  }
  return tmpl;
}

bool temp_dir_remove(const std::string& path) { return ::rmdir(path.c_str()) == 0; }

}  // namespace halvex
