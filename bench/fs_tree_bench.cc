// build_fs_tree_json on a real image file, for comparison with Sleuth Kit's
// `fls -r -p` on the same image (bench/fs_tree_bench.sh).
//
//   fs_tree_bench IMAGE [RUNS]
//
// Prints the entry count and the mean wall time of one tree (its JSON text,
// as the scan builds it), the image's bytes read through pread as the scan
// reads them.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "scan/fs_tree.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: fs_tree_bench IMAGE [RUNS]\n");
    return 2;
  }
  int runs = argc > 2 ? std::atoi(argv[2]) : 20;
  int fd = ::open(argv[1], O_RDONLY);
  struct stat st;
  if (fd < 0 || ::fstat(fd, &st) != 0 || runs < 1) {
    std::perror(argv[1]);
    return 1;
  }
  halvex::FsReadAt read_at = [fd](uint64_t offset, uint8_t* buffer, uint64_t length) {
    return ::pread(fd, buffer, length, static_cast<off_t>(offset)) == static_cast<ssize_t>(length);
  };
  size_t entries = 0;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < runs; i++)
    entries =
        halvex::build_fs_tree_json(read_at, static_cast<uint64_t>(st.st_size), SIZE_MAX).found;
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / runs;
  std::printf("%zu entries, %.6f s per tree\n", entries, seconds);
  ::close(fd);
  return 0;
}
