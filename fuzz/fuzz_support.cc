#include "fuzz/fuzz_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <mutex>
#include <vector>

// UBSan is built in recoverable mode for the libraries; a fuzzer must stop at
// the first report so that libFuzzer keeps the input that caused it.
extern "C" const char* __ubsan_default_options() { return "halt_on_error=1:print_stacktrace=1"; }

namespace halvex::fuzz {

namespace {

std::vector<std::string>* g_dirs = nullptr;  // removed at exit

void remove_dirs() {
  if (g_dirs == nullptr) return;
  for (const std::string& dir : *g_dirs) {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
}

std::string base_dir() {
  if (::access("/dev/shm", W_OK | X_OK) == 0) return "/dev/shm";
  std::error_code ec;
  std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
  return ec ? "/tmp" : tmp.string();
}

}  // namespace

std::string make_temp_dir(const char* tag) {
  std::string tmpl = base_dir() + "/halvex-" + tag + "-XXXXXX";
  if (::mkdtemp(tmpl.data()) == nullptr) {
    std::perror("fuzz: mkdtemp");
    std::abort();
  }
  if (g_dirs == nullptr) {
    g_dirs = new std::vector<std::string>;
    std::atexit(remove_dirs);
  }
  g_dirs->push_back(tmpl);
  return tmpl;
}

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz: check failed: %s\n", what);
  std::abort();
}

}  // namespace halvex::fuzz
