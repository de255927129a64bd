// dlopen, with the ownership check for privileged processes.

#include "platform/dynlib.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/files.h"

namespace halvex {

struct DynLib {
  void* handle = nullptr;
};

namespace {

DynLibPtr open_path(const std::string& path, std::string* error) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = ::dlerror();
    *error = "load " + path + ": " + (why ? why : "unknown error");
    return nullptr;
  }
  return DynLibPtr(new DynLib{handle});
}

// Root loads the file through a descriptor it has checked, so the file
// can't be swapped between the check and the load.
DynLibPtr open_checked(const std::string& path, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "load " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  struct stat st {};
  DynLibPtr lib;
  if (::fstat(fd, &st) != 0) {
    *error = "load " + path + ": " + std::strerror(errno);
  } else if (!S_ISREG(st.st_mode) || st.st_uid != 0 || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    *error = "load " + path + ": not owned by root or writable by others";
  } else {
    lib = open_path("/proc/self/fd/" + std::to_string(fd), error);
  }
  ::close(fd);
  return lib;
}

}  // namespace

void DynLibCloser::operator()(DynLib* lib) const {
  if (!lib) return;
  ::dlclose(lib->handle);
  delete lib;
}

DynLibPtr dynlib_open_beside_exe(const std::string& file, std::string* error) {
  std::string dir = exe_dir();
  if (dir.empty()) {
    *error = "load " + file + ": the executable's folder is unknown";
    return nullptr;
  }
  std::string path = dir + "/" + file;
  return ::geteuid() == 0 ? open_checked(path, error) : open_path(path, error);
}

DynLibPtr dynlib_open_system(const std::string& name, std::string* error) {
  return open_path(name, error);
}

void* dynlib_symbol(DynLib& lib, const char* symbol) { return ::dlsym(lib.handle, symbol); }

}  // namespace halvex
