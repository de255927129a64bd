// "list_directories" and "validate_path" on real folders, including one the
// test can't read because it runs the listing as an unprivileged user.

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <vector>

#include "disk/disk.h"
#include "disk/disk_test_support.h"
#include "disk/json_array.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

namespace fs = std::filesystem;
using testing::json_text;
using testing::path_request;
using testing::TempDir;

void write_file(const std::string& path, size_t size) {
  testing::write_file(path, std::string(size, 'x'));
}

Json request(const std::string& json) {
  Json parsed = json_parse(json);
  EXPECT_TRUE(parsed) << json;
  return parsed;
}

// The printed replies to a request.
std::string listing(const std::string& json) {
  return json_print(disk_list_directories_reply(request(json).get()).get());
}
std::string validation(const std::string& json) {
  return json_print(disk_validate_path_reply(request(json).get()).get());
}

// name -> has_children, and name -> size, read back from a reply.
std::map<std::string, bool> dirs_of(const cJSON* reply) {
  std::map<std::string, bool> out;
  for (const std::string& text : json_array_strings(json_get(reply, "dirs")).texts) {
    Json entry = json_parse(text);
    out[json_get_string(entry.get(), "name")] = json_get_bool(entry.get(), "has_children");
  }
  return out;
}

std::map<std::string, double> files_of(const cJSON* reply) {
  std::map<std::string, double> out;
  for (const std::string& text : json_array_strings(json_get(reply, "files")).texts) {
    Json entry = json_parse(text);
    out[json_get_string(entry.get(), "name")] = json_get_number(entry.get(), "size");
  }
  return out;
}

// A folder as a user's drive might hold it.
class FolderFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_.file("root");
    for (const char* folder :
         {"Photos/2024", "$RECYCLE.BIN/S-1-5-21", "$Recycle.Bin", "$recycle.bin",
          "System Volume Information", "recovery", "Config.Msi", ".git/objects", "Empty",
          "OnlyHidden/.cache", "KeepsSkipped/Recovery", "Mixed/.x", "Mixed/y"}) {
      fs::create_directories(root_ + "/" + folder);
    }
    fs::create_directory_symlink(root_ + "/Photos", root_ + "/PhotosLink");
    fs::create_symlink(root_ + "/nowhere", root_ + "/dangling.jpg");
    const std::pair<const char*, size_t> files[] = {
        {"a.JPG", 3},        {"b.jpg", 5},        {"c.jpeg", 7},
        {"noext", 11},       {".hidden.jpg", 13}, {"x.mp4", 17},
        {"bad\xFF.jpg", 19}, {"dot.", 23},        {"Photos/in.jpg", 29},
    };
    for (auto [name, size] : files) write_file(root_ + "/" + name, size);
  }

  Json list(const std::string& extra) {
    return disk_list_directories_reply(request(path_request(root_, extra)).get());
  }

  TempDir dir_;
  std::string root_;
};

TEST_F(FolderFixture, DirsSkipHiddenAndSystemFolders) {
  Json reply = list("");
  EXPECT_EQ(json_get_string(reply.get(), "path"), root_);
  EXPECT_FALSE(json_has(reply.get(), "error"));
  EXPECT_FALSE(json_has(reply.get(), "files"));
  const std::map<std::string, bool> want = {
      {"Photos", true},      {"PhotosLink", true},   {"Empty", false},
      {"OnlyHidden", false}, {"KeepsSkipped", true}, {"Mixed", true},
  };
  EXPECT_EQ(dirs_of(reply.get()), want);
  // Members in order: dirs, then path.
  std::string printed = json_print(reply.get());
  EXPECT_EQ(printed.rfind("{\"dirs\":[", 0), 0u) << printed;
  EXPECT_NE(printed.find("],\"path\":" + json_text(root_) + "}"), std::string::npos) << printed;
}

TEST_F(FolderFixture, IncludeFilesFilters) {
  const std::string bad = "bad\xEF\xBF\xBD.jpg";  // the invalid byte as U+FFFD
  const std::map<std::string, double> every = {{"a.JPG", 3},  {"b.jpg", 5},       {"c.jpeg", 7},
                                               {"noext", 11}, {"x.mp4", 17},      {bad, 19},
                                               {"dot.", 23},  {"dangling.jpg", 0}};
  struct Case {
    const char* include;
    std::vector<std::string> names;  // empty: every file
  };
  const Case cases[] = {
      {"[\".JPG\"]", {"a.JPG", "b.jpg", bad, "dangling.jpg"}},
      {"[\".jpg\",\".MP4\"]", {"a.JPG", "b.jpg", bad, "dangling.jpg", "x.mp4"}},
      {"[\"jpg\"]", {"-"}},  // no leading dot: matches nothing
      {"[1,null]", {"-"}},   // elements, but no strings: nothing listed
      {"[\".\"]", {"dot."}},
      {"true", {}},
      {"false", {}},
      {"[]", {}},
      {"\".jpg\"", {}},
      {"{}", {}},
      {"0", {}},
  };
  for (const Case& c : cases) {
    Json reply = list(std::string(",\"include_files\":") + c.include);
    std::map<std::string, double> want;
    for (const auto& [name, size] : every) {
      if (c.names.empty() || std::count(c.names.begin(), c.names.end(), name)) want[name] = size;
    }
    EXPECT_EQ(files_of(reply.get()), want) << c.include;
    EXPECT_EQ(dirs_of(reply.get()).size(), 6u) << c.include;
    std::string printed = json_print(reply.get());
    EXPECT_NE(printed.find("],\"files\":["), std::string::npos) << printed;
    EXPECT_NE(printed.find("],\"path\":"), std::string::npos) << printed;
  }
}

TEST(FolderErrorsTest, ExactReplies) {
  TempDir dir;
  write_file(dir.file("file.txt"), 1);
  fs::create_symlink(dir.file("loop"), dir.file("loop"));            // opening it gives ELOOP
  std::string long_name = dir.path() + "/" + std::string(300, 'n');  // ENAMETOOLONG
  const std::string invalid = "{\"path\":\"\",\"dirs\":[],\"error\":\"Invalid path\"}";
  auto failed = [](const std::string& error, const std::string& path) {
    return "{\"dirs\":[],\"error\":\"" + error + "\",\"path\":" + json_text(path) + "}";
  };
  const std::pair<std::string, std::string> cases[] = {
      {"{}", invalid},
      {"{\"path\":\"\"}", invalid},
      {"{\"path\":5,\"include_files\":true}", invalid},
      {"[]", invalid},
      {path_request(dir.file("missing"), ",\"include_files\":true"),
       failed("Path not found", dir.file("missing"))},
      {path_request(dir.file("file.txt")), failed("Path not found", dir.file("file.txt"))},
      {path_request(dir.file("file.txt/x")), failed("Path not found", dir.file("file.txt/x"))},
      {path_request(dir.file("loop")), failed("Cannot read directory", dir.file("loop"))},
      {path_request(long_name), failed("Cannot read directory", long_name)},
  };
  for (const auto& [req, want] : cases) EXPECT_EQ(listing(req), want) << req;
  EXPECT_EQ(json_print(disk_list_directories_reply(nullptr).get()), invalid);
}

// Runs `fn` in a child process that has dropped to nobody (65534) and
// returns what it printed; "" if the child failed.
template <typename Fn>
std::string as_nobody(Fn fn) {
  int fds[2];
  if (::pipe(fds) != 0) return "";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    std::string out = fn();
    bool ok = ::write(fds[1], out.data(), out.size()) == static_cast<ssize_t>(out.size());
    ::_exit(ok ? 0 : 3);
  }
  ::close(fds[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;)
    out.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : "";
}

TEST(FolderPermissionTest, UnreadableFolderAsUnprivilegedUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop to nobody";
  TempDir dir;
  // nobody may pass through the test folder and read "open", not "locked".
  ::chmod(dir.path().c_str(), 0711);
  fs::create_directories(dir.file("open/locked/inner"));
  fs::create_directories(dir.file("open/readable/inner"));
  write_file(dir.file("open/locked/secret.txt"), 4);
  ::chmod(dir.file("open").c_str(), 0755);
  ::chmod(dir.file("open/readable").c_str(), 0755);
  ::chmod(dir.file("open/locked").c_str(), 0700);

  std::string locked = dir.file("open/locked");
  std::string open = dir.file("open");
  std::string out = as_nobody([&] {
    return listing(path_request(locked, ",\"include_files\":true")) + "\n" +
           listing(path_request(open)) + "\n" +
           validation(path_request(locked + "/secret.txt", ",\"allow_files\":true"));
  });
  ASSERT_FALSE(out.empty()) << "the child could not drop privileges or report";
  std::string want_locked =
      "{\"dirs\":[],\"error\":\"Permission denied\",\"path\":" + json_text(locked) + "}";
  std::string want_validate = "{\"path\":" + json_text(locked + "/secret.txt") +
                              ",\"valid\":false,\"error\":\"Path does not exist\"}";
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u) << out;
  EXPECT_EQ(lines[0], want_locked);
  // A folder that can't be read has no children to show.
  Json listing = json_parse(lines[1]);
  EXPECT_EQ(dirs_of(listing.get()),
            (std::map<std::string, bool>{{"locked", false}, {"readable", true}}));
  EXPECT_EQ(lines[2], want_validate);

  // As root the same folder reads, so the child really saw the denial.
  EXPECT_FALSE(
      json_has(disk_list_directories_reply(request(path_request(locked)).get()).get(), "error"));
}

TEST(ValidatePathTest, Replies) {
  TempDir dir;
  write_file(dir.file("file.bin"), 1);
  fs::create_directory(dir.file("folder"));
  fs::create_symlink(dir.file("folder"), dir.file("folder-link"));
  fs::create_symlink(dir.file("gone"), dir.file("dangling"));
  auto valid = [](const std::string& p, bool is_dir) {
    return "{\"path\":" + json_text(p) +
           ",\"valid\":true,\"is_dir\":" + (is_dir ? "true" : "false") + "}";
  };
  auto invalid = [](const std::string& p) {
    return "{\"path\":" + json_text(p) + ",\"valid\":false,\"error\":\"Path does not exist\"}";
  };
  const std::string folder = dir.file("folder"), file = dir.file("file.bin");
  const std::pair<std::string, std::string> cases[] = {
      {path_request(folder), valid(folder, true)},
      {path_request(folder, ",\"allow_files\":true"), valid(folder, true)},
      {path_request(dir.file("folder-link")), valid(dir.file("folder-link"), true)},
      {path_request(file), invalid(file)},
      {path_request(file, ",\"allow_files\":false"), invalid(file)},
      {path_request(file, ",\"allow_files\":\"yes\""), invalid(file)},
      {path_request(file, ",\"allow_files\":1"), invalid(file)},
      {path_request(file, ",\"allow_files\":true"), valid(file, false)},
      {path_request(dir.file("dangling"), ",\"allow_files\":true"), invalid(dir.file("dangling"))},
      {path_request(dir.file("missing")), invalid(dir.file("missing"))},
      {"{\"path\":\"\",\"allow_files\":true}", invalid("")},
      {"{\"path\":[\"/\"]}", invalid("")},
      {"{}", invalid("")},
  };
  for (const auto& [req, want] : cases) EXPECT_EQ(validation(req), want) << req;
}

}  // namespace
}  // namespace halvex
