// The Windows implementations of the platform headers, run under wine by
// ctest: real files, real kernel objects, a real crashing child process.

#include <windows.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "platform/block_file.h"
#include "platform/block_file_testing.h"
#include "platform/crash.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "platform/memory.h"
#include "platform/new_file.h"
#include "platform/random.h"
#include "platform/system.h"
#include "platform/temp_dir.h"
#include "platform/win32/text.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

using testing::TempDir;

void put(const std::string& path, const std::string& bytes) {
  std::ofstream(std::filesystem::path(win32::to_wide_path(path)), std::ios::binary) << bytes;
}

TEST(Win32TextTest, Utf8AndUtf16RoundTrip) {
  const std::string samples[] = {"", "plain", "Ünïcödé", "日本語のファイル",
                                 "emoji \xF0\x9F\x98\x80 ok"};
  for (const std::string& s : samples) EXPECT_EQ(win32::to_utf8(win32::to_wide(s)), s);
  EXPECT_EQ(win32::to_wide("\xE6\x97\xA5").size(), 1u);
  EXPECT_EQ(win32::to_wide("\xF0\x9F\x98\x80").size(), 2u);  // a surrogate pair
  EXPECT_EQ(win32::to_wide_path("a/b\\c"), L"a\\b\\c");
  EXPECT_TRUE(win32::error_text(ERROR_FILE_NOT_FOUND).ends_with(" (2)"))
      << win32::error_text(ERROR_FILE_NOT_FOUND);
}

TEST(Win32RandomTest, FillsEveryByteAndDiffers) {
  std::vector<uint8_t> a(1 << 20, 0), b(1 << 20, 0);
  ASSERT_TRUE(random_bytes(a.data(), a.size()));
  ASSERT_TRUE(random_bytes(b.data(), b.size()));
  EXPECT_NE(a, b);
  // A megabyte from a working generator has every byte value many times.
  std::vector<int> seen(256, 0);
  for (uint8_t v : a) seen[v]++;
  for (int count : seen) EXPECT_GT(count, 3000);
  EXPECT_TRUE(random_bytes(nullptr, 0));
}

TEST(Win32SystemTest, MachineFacts) {
  EXPECT_STREQ(system_platform_name(), "Windows");
  std::string host;
  ASSERT_TRUE(system_hostname(&host));
  EXPECT_FALSE(host.empty());
  std::tm tm{};
  ASSERT_TRUE(system_local_time(86400 * 365, &tm));
  EXPECT_EQ(tm.tm_year, 71);

  // The roaming application-data known folder, which exists.
  std::string dir = system_app_data_dir();
  const std::string tail = "\\Halvex Service Native";
  ASSERT_GT(dir.size(), tail.size());
  EXPECT_EQ(dir.substr(dir.size() - tail.size()), tail);
  std::string parent = dir.substr(0, dir.size() - tail.size());
  EXPECT_TRUE(std::regex_search(parent, std::regex(R"(\\AppData\\Roaming$|\\Application Data$)")))
      << parent;
  DWORD attrs = ::GetFileAttributesW(win32::to_wide(parent).c_str());
  ASSERT_NE(attrs, INVALID_FILE_ATTRIBUTES) << parent;
  EXPECT_TRUE(attrs & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(Win32InstanceTest, SecondHolderOfTheNameIsRefused) {
  std::string name = "Global\\HalvexServiceNative-test-" + std::to_string(::GetCurrentProcessId());
  EXPECT_TRUE(instance_try_acquire(name.c_str(), ""));
  EXPECT_FALSE(instance_try_acquire(name.c_str(), ""));
  EXPECT_TRUE(instance_try_acquire((name + "-other").c_str(), ""));
}

TEST(Win32FilesTest, ReadWriteCopyRemoveWithUnicodeNames) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  std::string path = dir.file("Ünïcödé 日本.conf");  // forward slash from the helper, too
  std::string error;
  ASSERT_TRUE(file_write_atomic(path, "first", 0600, &error)) << error;
  ASSERT_TRUE(file_write_atomic(path, std::string("second\0x", 8), 0600, &error)) << error;
  std::string got;
  ASSERT_TRUE(file_read_all(path, 100, &got));
  EXPECT_EQ(got, std::string("second\0x", 8));
  EXPECT_FALSE(file_read_all(path, 7, &got));  // larger than allowed
  EXPECT_EQ(file_size(path), std::optional<uint64_t>(8));
  EXPECT_FALSE(file_size(dir.path()).has_value());  // a folder has no file size
  EXPECT_FALSE(file_read_all(dir.path(), 100, &got));

  // No temporary is left beside the file.
  std::filesystem::directory_iterator entries(win32::to_wide_path(dir.path()));
  EXPECT_EQ(std::distance(entries, {}), 1);

  std::string copy = dir.file("copy.conf");
  EXPECT_TRUE(file_copy_new(path, copy, 0600));
  EXPECT_FALSE(file_copy_new(path, copy, 0600));  // exists already
  ASSERT_TRUE(file_read_all(copy, 100, &got));
  EXPECT_EQ(got.size(), 8u);

  FILE* f = file_open_append(copy, 0600);
  ASSERT_NE(f, nullptr);
  std::fputs("+tail", f);
  std::fclose(f);
  ASSERT_TRUE(file_read_all(copy, 100, &got));
  EXPECT_EQ(got.substr(8), "+tail");

  EXPECT_TRUE(file_remove(copy));
  EXPECT_FALSE(file_exists(copy));
  EXPECT_FALSE(file_remove(copy));

  // A folder whose parent is a file can't be made; an existing one is fine.
  EXPECT_FALSE(dir_create(path + "/sub", 0700));
  EXPECT_TRUE(dir_create(dir.file("sub"), 0700));
  EXPECT_TRUE(dir_create(dir.file("sub"), 0700));

  std::string exe = exe_path();
  EXPECT_TRUE(exe.ends_with(".exe")) << exe;
  EXPECT_EQ(exe_dir() + "\\", exe.substr(0, exe.find_last_of('\\') + 1));
}

TEST(Win32FilesTest, AtomicWriteIntoMissingFolderFailsWithCause) {
  TempDir dir;
  std::string error;
  EXPECT_FALSE(file_write_atomic(dir.file("missing/x.conf"), "x", 0600, &error));
  EXPECT_EQ(error.rfind("create temporary file: ", 0), 0u) << error;
}

TEST(Win32TempDirTest, FreshPrivateFolders) {
  std::string error;
  std::optional<std::string> a = temp_dir_create("halvex-unit", &error);
  std::optional<std::string> b = temp_dir_create("halvex-unit", &error);
  ASSERT_TRUE(a && b) << error;
  EXPECT_NE(*a, *b);
  EXPECT_NE(a->find("\\halvex-unit-"), std::string::npos) << *a;
  EXPECT_TRUE(file_exists(*a));
  EXPECT_TRUE(temp_dir_remove(*a));
  EXPECT_TRUE(temp_dir_remove(*b));
  EXPECT_FALSE(file_exists(*a));
}

TEST(Win32MemoryTest, LargeBlocksAreAlignedAndWritable) {
  for (size_t size : {size_t{1}, size_t{3} << 20, size_t{64} << 20}) {
    auto* p = static_cast<uint8_t*>(memory_alloc_large(size));
    ASSERT_NE(p, nullptr) << size;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % (2u << 20), 0u) << size;
    std::memset(p, 0xAB, size);  // every page is committed
    EXPECT_EQ(p[0], 0xAB);
    EXPECT_EQ(p[size - 1], 0xAB);
    memory_free_large(p);
  }
  EXPECT_EQ(memory_alloc_large(0), nullptr);
  memory_free_large(nullptr);
}

TEST(Win32NewFileTest, ExclusiveCreateWriteDiscard) {
  TempDir dir;
  std::string path = dir.file("installer.exe");
  std::string error;
  NewFile f;
  ASSERT_EQ(f.create(path, 0600, &error), NewFileStatus::kCreated) << error;
  ASSERT_TRUE(f.write("MZ", 2, &error)) << error;
  ASSERT_TRUE(f.close(&error)) << error;
  EXPECT_EQ(file_size(path), std::optional<uint64_t>(2));

  NewFile again;
  EXPECT_EQ(again.create(path, 0600, &error), NewFileStatus::kExists);
  EXPECT_EQ(again.create(dir.path(), 0600, &error), NewFileStatus::kExists);  // a folder
  EXPECT_EQ(again.create(dir.file("no/such/folder"), 0600, &error), NewFileStatus::kFailed);
  EXPECT_EQ(error.rfind("create " + dir.file("no/such/folder") + ": ", 0), 0u) << error;

  f.discard();
  EXPECT_FALSE(file_exists(path));
}

TEST(Win32BlockFileTest, ReadsAnImageFileByPosition) {
  TempDir dir;
  std::string image(3 * 4096 + 100, '\0');
  for (size_t i = 0; i < image.size(); i++) image[i] = static_cast<char>(i * 7 + i / 251);
  std::string path = dir.file("card.img");
  put(path, image);

  for (bool sequential : {true, false}) {
    int e = 0;
    auto file = BlockFile::open(path, sequential, &e);
    ASSERT_NE(file, nullptr) << e;
    // The disk length query fails on a file; the size comes from the file.
    EXPECT_EQ(file->size(), image.size());
    EXPECT_EQ(file->sector_size(), 512u);
    struct Case {
      uint64_t offset;
      size_t length;
      int64_t want;
    } cases[] = {{0, 512, 512},
                 {4096, 4096, 4096},
                 {image.size() - 50, 512, 50},
                 {image.size(), 512, 0},
                 {image.size() + 4096, 512, 0},
                 {uint64_t{1} << 40, 16, 0}};
    for (const Case& c : cases) {
      std::vector<char> buf(c.length);
      int64_t n = file->read_at(c.offset, buf.data(), buf.size());
      ASSERT_EQ(n, c.want) << c.offset;
      if (n > 0) {
        EXPECT_EQ(std::string(buf.data(), n), image.substr(c.offset, n)) << c.offset;
      }
    }
  }
}

TEST(Win32BlockFileTest, RefusesWhatIsNoFileOrDevice) {
  TempDir dir;
  int e = 0;
  EXPECT_EQ(BlockFile::open(dir.file("missing.img"), true, &e), nullptr);
  EXPECT_EQ(e, ENOENT);
  EXPECT_EQ(BlockFile::open(dir.path(), true, &e), nullptr);  // a folder
  EXPECT_NE(e, 0);
  EXPECT_EQ(BlockFile::open("", true, &e), nullptr);
  EXPECT_EQ(BlockFile::open("\\\\.\\PHYSICALDRIVE99", true, &e), nullptr);
  EXPECT_FALSE(block_error_is_gone(EIO));
  EXPECT_TRUE(block_error_is_gone(ENODEV));
}

TEST(Win32BlockFileTest, InjectedFaultsFailTheirSectors) {
  TempDir dir;
  std::string path = dir.file("bad.img");
  put(path, std::string(8192, 'x'));
  auto file = BlockFile::open(path, false);
  ASSERT_NE(file, nullptr);
  block_file_testing_set_faults({{path, 1024, 10, EIO, 1}});
  char buf[4096];
  EXPECT_EQ(file->read_at(0, buf, sizeof buf), 1024);  // cut short before the damage
  EXPECT_EQ(file->read_at(1024, buf, 512), -EIO);
  EXPECT_EQ(file->read_at(1024, buf, 512), 512);  // used up
  block_file_testing_set_faults({});
}

// The crashing child: runs only when the parent test below starts this
// program with HALVEX_CRASH_LOG set.
TEST(Win32CrashChild, Faults) {
  const char* log = std::getenv("HALVEX_CRASH_LOG");
  if (log == nullptr) GTEST_SKIP() << "runs as the child of Win32CrashTest";
  crash_install();
  crash_set_log_path(log);
  volatile uintptr_t bad = 0x10;
  *reinterpret_cast<volatile int*>(bad) = 1;
}

TEST(Win32CrashTest, UnhandledExceptionWritesOneLineAndEndsTheProcess) {
  TempDir dir;
  std::string log = dir.file("crash.log");
  ASSERT_TRUE(::SetEnvironmentVariableW(L"HALVEX_CRASH_LOG", win32::to_wide(log).c_str()));
  std::wstring cmd = L"\"" + win32::to_wide(exe_path()) +
                     L"\" --gtest_filter=Win32CrashChild.Faults --gtest_catch_exceptions=0";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  BOOL started =
      ::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi);
  ::SetEnvironmentVariableW(L"HALVEX_CRASH_LOG", nullptr);
  ASSERT_TRUE(started) << win32::error_text(::GetLastError());
  win32::Handle process(pi.hProcess), thread(pi.hThread);
  ASSERT_EQ(::WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(::GetExitCodeProcess(pi.hProcess, &code));
  EXPECT_EQ(code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));

  std::vector<std::string> lines = testing::read_lines(log);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      lines[0],
      std::regex(
          R"(\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\] CRASH: exception code 0xC0000005 at address [0-9A-F]{16})")))
      << lines[0];
}

}  // namespace
}  // namespace halvex
