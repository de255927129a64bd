// The /files/ tree: which request paths open which file, and that nothing
// outside the folder (through "..", encoded separators or links) or other
// than a regular file is ever served.

#include "server/http/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/temp_dir.h"

namespace halvex::server {
namespace {

namespace fs = std::filesystem;

std::string read_fd(int fd) {
  std::string out;
  char buf[256];
  ssize_t n;
  while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  return out;
}

TEST(FilesTest, ServesOnlyRegularFilesInsideTheFolder) {
  testing::TempDir dir;
  std::string root = dir.file("files");
  fs::create_directories(root + "/sub");
  fs::create_directories(dir.file("outside"));
  std::ofstream(root + "/a.txt") << "A";
  std::ofstream(root + "/sub/b c.txt") << "B";
  std::ofstream(dir.file("secret")) << "S";
  std::ofstream(dir.file("outside/s.txt")) << "S";
  fs::create_symlink(dir.file("secret"), root + "/link.txt");
  fs::create_directory_symlink(dir.file("outside"), root + "/outlink");
  ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0600), 0);

  struct Case {
    const char* method;
    const char* path;
    int status;
    const char* content;
  };
  const Case cases[] = {
      {"GET", "/files/a.txt", 200, "A"},
      {"HEAD", "/files/a.txt", 200, "A"},
      {"GET", "/files/sub/b%20c.txt", 200, "B"},
      {"GET", "/files/sub%2Fb%20c.txt", 200, "B"},
      {"POST", "/files/a.txt", 405, ""},
      {"PUT", "/files/a.txt", 405, ""},
      {"GET", "/files/missing", 404, ""},
      {"GET", "/files/", 404, ""},
      {"GET", "/files/sub", 404, ""},
      {"GET", "/files/sub/", 404, ""},
      {"GET", "/files//a.txt", 404, ""},
      {"GET", "/files/./a.txt", 404, ""},
      {"GET", "/files/../secret", 404, ""},
      {"GET", "/files/sub/../../secret", 404, ""},
      {"GET", "/files/%2e%2e/secret", 404, ""},
      {"GET", "/files/..%2fsecret", 404, ""},
      {"GET", "/files/link.txt", 404, ""},
      {"GET", "/files/outlink/s.txt", 404, ""},
      {"GET", "/files/fifo", 404, ""},
      {"GET", "/files/a.txt%00.png", 400, ""},
      {"GET", "/files/%zz", 400, ""},
      {"GET", "/filesa.txt", 404, ""},
  };
  for (const Case& c : cases) {
    FileServe f = files_open(root, c.method, c.path);
    EXPECT_EQ(f.status, c.status) << c.method << " " << c.path;
    if (f.status == 200) {
      EXPECT_EQ(f.size, 1u);
      EXPECT_EQ(read_fd(f.fd), c.content) << c.path;
    } else {
      EXPECT_EQ(f.fd, -1);
    }
    if (f.fd >= 0) ::close(f.fd);
  }
  EXPECT_EQ(files_open(dir.file("no-such-folder"), "GET", "/files/a.txt").status, 404);
}

}  // namespace
}  // namespace halvex::server
