// The Windows disk layer under wine: folder listings through
// FindFirstFileW, path checks, drive letters, disk sizes of image files,
// and the Get-Disk pipe reading. Wine's PowerShell has no Get-Disk (it
// prints nothing), so the disk list itself is checked on recorded
// Get-Disk output played back through cmd's "type": the same pipe, process
// and parsing as the real query. Wine's \\.\PHYSICALDRIVE0 is its virtual
// C: disk, which can't be read, so sizes are measured on image files.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "disk/disk.h"
#include "disk/disk_path.h"
#include "disk/disk_test_support.h"
#include "platform/dirs.h"
#include "platform/win32/get_disk_csv.h"
#include "platform/win32/get_disk_query.h"
#include "platform/win32/text.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

namespace fs = std::filesystem;
using testing::json_text;
using testing::path_request;
using testing::TempDir;
using testing::write_file;

// The path with the separators Windows callers send.
std::string backslashed(std::string path) {
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

Json request(const std::string& text) { return json_parse(text); }

std::set<std::string> names_of(const cJSON* array, const char* member) {
  std::set<std::string> names;
  for (int i = 0; i < json_array_size(array); i++)
    names.insert(json_get_string(json_array_item(array, i), member));
  return names;
}

class WindowsFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = backslashed(dir_.path());
    for (const char* folder : {"Photos/2024", "Empty", "OnlyHidden/.git", "$RECYCLE.BIN/x",
                               "System Volume Information", ".cache/y", "config.msi"}) {
      fs::create_directories(dir_.file(folder));
    }
    write_file(dir_.file("a.JPG"), "12345");
    write_file(dir_.file("b.jpg"), "1");
    write_file(dir_.file("c.jpeg"), "1");
    write_file(dir_.file("noext"), "1");
    write_file(dir_.file(".hidden.jpg"), "1");
  }

  Json list(const std::string& extra) {
    return disk_list_directories_reply(request(path_request(root_, extra)).get());
  }

  TempDir dir_;
  std::string root_;
};

TEST_F(WindowsFolderTest, DirsSkipHiddenAndSystemFoldersAndKnowTheirChildren) {
  Json reply = list("");
  const cJSON* dirs = json_get(reply.get(), "dirs");
  EXPECT_EQ(names_of(dirs, "name"), (std::set<std::string>{"Photos", "Empty", "OnlyHidden"}));
  for (int i = 0; i < json_array_size(dirs); i++) {
    const cJSON* d = json_array_item(dirs, i);
    std::string name = json_get_string(d, "name", "");
    EXPECT_EQ(json_get_bool(d, "has_children", false), name == "Photos") << name;
  }
  EXPECT_EQ(json_get(reply.get(), "files"), nullptr);
  EXPECT_EQ(json_get_string(reply.get(), "path", ""), root_);
}

TEST_F(WindowsFolderTest, IncludeFilesFiltersAndSizes) {
  struct Case {
    const char* include;
    std::set<std::string> files;
  };
  const Case cases[] = {
      {"[\".JPG\"]", {"a.JPG", "b.jpg"}},
      {"[\".jpeg\",5]", {"c.jpeg"}},
      {"[]", {"a.JPG", "b.jpg", "c.jpeg", "noext"}},
      {"true", {"a.JPG", "b.jpg", "c.jpeg", "noext"}},
      {"false", {"a.JPG", "b.jpg", "c.jpeg", "noext"}},
  };
  for (const Case& c : cases) {
    Json reply = list(std::string(",\"include_files\":") + c.include);
    EXPECT_EQ(names_of(json_get(reply.get(), "files"), "name"), c.files) << c.include;
  }
  Json reply = list(",\"include_files\":[\".jpg\"]");
  const cJSON* files = json_get(reply.get(), "files");
  for (int i = 0; i < json_array_size(files); i++) {
    const cJSON* f = json_array_item(files, i);
    EXPECT_EQ(json_get_number(f, "size"), json_get_string(f, "name") == "a.JPG" ? 5 : 1);
  }
}

// The exact replies of the folder listing and of the path check.
TEST(WindowsFolderRepliesTest, ExactReplies) {
  TempDir dir;
  write_file(dir.file("file.txt"), "x");
  std::string missing = backslashed(dir.file("missing")), deeper = missing + "\\deeper";
  std::string folder = backslashed(dir.path()), file = backslashed(dir.file("file.txt"));
  auto not_found = [](const std::string& path) {
    return "{\"dirs\":[],\"error\":\"Path not found\",\"path\":" + json_text(path) + "}";
  };
  auto checked = [](const std::string& path, const char* verdict) {
    return "{\"path\":" + json_text(path) + "," + verdict + "}";
  };
  struct Case {
    Json (*handler)(const cJSON*);
    std::string request, reply;
  };
  const char* kMissing = "\"valid\":false,\"error\":\"Path does not exist\"";
  const Case cases[] = {
      {disk_list_directories_reply, "{}", "{\"path\":\"\",\"dirs\":[],\"error\":\"Invalid path\"}"},
      {disk_list_directories_reply, path_request(missing, ",\"include_files\":true"),
       not_found(missing)},
      {disk_list_directories_reply, path_request(deeper), not_found(deeper)},
      {disk_validate_path_reply, path_request(folder),
       checked(folder, "\"valid\":true,\"is_dir\":true")},
      {disk_validate_path_reply, path_request(file, ",\"allow_files\":true"),
       checked(file, "\"valid\":true,\"is_dir\":false")},
      {disk_validate_path_reply, path_request(file), checked(file, kMissing)},
      {disk_validate_path_reply, "{}", checked("", kMissing)},
  };
  for (const Case& c : cases)
    EXPECT_EQ(json_print(c.handler(request(c.request).get()).get()), c.reply) << c.request;
}

TEST(WindowsDrivesTest, LettersRootsAndQuickAccess) {
  Json reply = disk_list_drives_reply(DeviceRoots{}, dirs_user_home());
  const cJSON* drives = json_get(reply.get(), "drives");
  ASSERT_NE(drives, nullptr);
  bool has_c = false;
  for (int i = 0; i < json_array_size(drives); i++) {
    const cJSON* d = json_array_item(drives, i);
    std::string letter = json_get_string(d, "letter", "");
    ASSERT_EQ(letter.size(), 2u);
    EXPECT_EQ(letter[1], ':');
    EXPECT_EQ(json_get_string(d, "path", ""), letter + "\\");
    has_c = has_c || letter == "C:";
  }
  EXPECT_TRUE(has_c);
  EXPECT_EQ(json_get_string(reply.get(), "last_folder", "?"), "");

  std::string home = dirs_user_home();
  ASSERT_FALSE(home.empty());
  const cJSON* quick = json_get(reply.get(), "quick_access");
  for (int i = 0; i < json_member_count(quick); i++) {
    const cJSON* m = json_member_at(quick, i);
    EXPECT_EQ(json_string_value(m), home + "\\" + json_member_name(m));
  }
}

TEST(WindowsJoinPathTest, BackslashWithoutDoubling) {
  EXPECT_EQ(dirs_join_path("C:\\", "Users"), "C:\\Users");
  EXPECT_EQ(dirs_join_path("C:\\Users\\ann", "Desktop"), "C:\\Users\\ann\\Desktop");
  EXPECT_EQ(dirs_join_path("C:/data/", "x"), "C:/data/x");
}

TEST(WindowsDiskSizeTest, ImageFilesAndWhatHasNoSize) {
  TempDir dir;
  std::string image = backslashed(dir.file("disk.img"));
  write_file(image, "");
  fs::resize_file(image, 3 * 1048576 + 512);
  EXPECT_EQ(get_disk_size(image), 3u * 1048576 + 512);
  EXPECT_EQ(get_disk_size(backslashed(dir.path())), 0u);  // a folder
  EXPECT_EQ(get_disk_size(backslashed(dir.file("missing.img"))), 0u);
  EXPECT_EQ(get_disk_size("\\\\.\\PHYSICALDRIVE99"), 0u);
  EXPECT_EQ(get_disk_size(""), 0u);
}

// A recorded Get-Disk output, large enough to need several pipe reads.
std::string recorded_get_disk(int disks) {
  std::string text = "\"Number\",\"FriendlyName\",\"Size\",\"BusType\"\r\n";
  for (int i = 0; i < disks; i++) {
    text += "\"" + std::to_string(i) + "\",\"Samsung SSD 980 \"\"PRO\"\" " + std::to_string(i) +
            "\",\"1000204886016\",\"" + (i % 2 ? "USB" : "NVMe") + "\"\r\n";
  }
  return text;
}

TEST(WindowsGetDiskQueryTest, PipeCarriesTheWholeOutput) {
  TempDir dir;
  std::string recorded = backslashed(dir.file("get-disk.csv"));
  write_file(recorded, recorded_get_disk(400));  // about 30 KB
  std::string output;
  std::string error;
  ASSERT_TRUE(win32::get_disk_run_query(L"cmd.exe /c type \"" + win32::to_wide(recorded) + L"\"",
                                        &output, &error))
      << error;
  EXPECT_EQ(output, recorded_get_disk(400));
  std::vector<PhysicalDisk> disks = get_disk_parse_output(output);
  ASSERT_EQ(disks.size(), 400u);
  EXPECT_EQ(disks[399].number, 399);
  EXPECT_EQ(disks[399].path, "\\\\.\\PHYSICALDRIVE399");
  EXPECT_EQ(disks[399].friendly_name, "Samsung SSD 980 \"PRO\" 399");
  EXPECT_EQ(disks[399].bus_raw, "USB");
  EXPECT_EQ(disks[1].size_bytes, 1000204886016u);
}

TEST(WindowsGetDiskQueryTest, ErrorTextSharesThePipe) {
  std::string output;
  std::string error;
  ASSERT_TRUE(win32::get_disk_run_query(L"cmd.exe /c echo Get-Disk failed 1>&2", &output, &error))
      << error;
  EXPECT_NE(output.find("Get-Disk failed"), std::string::npos);
}

TEST(WindowsGetDiskQueryTest, AProgramThatCannotStart) {
  std::string output = "stale";
  std::string error;
  EXPECT_FALSE(win32::get_disk_run_query(L"no-such-program-halvex.exe", &output, &error));
  EXPECT_EQ(output, "");
  EXPECT_EQ(error.rfind("disk query: start: ", 0), 0u) << error;
}

// Wine's PowerShell answers nothing: an empty list, not a failure.
TEST(WindowsGetDiskQueryTest, TheRealQueryRunsToItsEnd) {
  Json reply = disk_list_disks_reply(DeviceRoots{});
  EXPECT_TRUE(json_is_array(json_get(reply.get(), "disks")));
}

}  // namespace
}  // namespace halvex
