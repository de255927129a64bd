// Child processes, outside programs and the update hand-over under wine,
// with spawn_child.exe as the child. Wine's cmd has neither `find` nor
// `timeout`: the script's wait is checked as text, and the script runs for
// real only for an agent that has already ended.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <sddl.h>
#include <tlhelp32.h>

#include "platform/dirs.h"
#include "platform/files.h"
#include "platform/program_search.h"
#include "platform/spawn.h"
#include "platform/update_script.h"
#include "platform/win32/program_search_testing.h"
#include "platform/win32/text.h"
#include "tests/support/temp_dir.h"

namespace halvex {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::TempDir;

std::string child_exe() { return exe_dir() + "\\spawn_child.exe"; }

fs::path wide(const std::string& path) { return fs::path(win32::to_wide_path(path)); }

std::string read_text(const std::string& path) {
  std::ifstream in(wide(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs the child with `args`, its output in a file; the lines it wrote.
std::string run_child(const std::vector<std::string>& args, int* status) {
  TempDir dir;
  SpawnOptions options;
  options.stdout_path = dir.file("out.txt");
  std::vector<std::string> argv{child_exe()};
  argv.insert(argv.end(), args.begin(), args.end());
  SpawnedProcess child;
  std::string error;
  EXPECT_TRUE(spawn_process(argv, options, &child, &error)) << error;
  std::optional<int> code = spawn_wait_for(&child, 20000);
  EXPECT_TRUE(code);
  *status = code.value_or(-1);
  return read_text(options.stdout_path);
}

TEST(Win32SpawnTest, ArgumentsArriveExactlyAsGiven) {
  const std::vector<std::string> args = {
      "echo",
      "plain",
      "with space",
      "",
      "quote\"inside",
      "trailing\\",
      "two\\\\",
      "back\\\"slash quote",
      "tab\there",
      "\\\\server\\share\\a b\\",
      "caf\xc3\xa9 \xe2\x82\xac",
      "%PATH%",
      "a&b|c>d",
  };
  int status = -1;
  std::string out = run_child(args, &status);
  std::string want;
  for (const std::string& arg : args) want += arg + "\n";
  EXPECT_EQ(out, want);
  EXPECT_EQ(status, 0);
}

TEST(Win32SpawnTest, ExitCodesTimeOutsAndTermination) {
  int status = -1;
  run_child({"exit", "7"}, &status);
  EXPECT_EQ(status, 7);

  SpawnedProcess child;
  std::string error;
  ASSERT_TRUE(spawn_process({child_exe(), "sleep", "60000"}, {}, &child, &error)) << error;
  EXPECT_GT(child.pid, 0);
  EXPECT_EQ(spawn_wait_for(&child, 0), std::nullopt);
  EXPECT_EQ(spawn_wait_for(&child, 200), std::nullopt);
  ASSERT_TRUE(spawn_kill(&child));
  EXPECT_EQ(spawn_wait_for(&child, 5000), 1);  // the code a terminated child ends with
  EXPECT_EQ(spawn_wait_for(&child, 0), 1);     // kept once reaped
  EXPECT_EQ(child.pid, -1);
  EXPECT_FALSE(spawn_kill(&child));

  ASSERT_TRUE(spawn_process({child_exe(), "sleep", "100"}, {}, &child, &error)) << error;
  spawn_detach(&child);
  EXPECT_EQ(child.pid, -1);
  EXPECT_EQ(child.handle, nullptr);
}

// The console hosts started for a process (console hosts are children of
// the process they serve).
int console_hosts_of(DWORD pid) {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  int n = 0;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more;
       more = ::Process32NextW(snapshot, &entry))
    n += entry.th32ParentProcessID == pid && _wcsicmp(entry.szExeFile, L"conhost.exe") == 0;
  ::CloseHandle(snapshot);
  return n;
}

// A child gets no console, so no console host runs beside it: under wine
// the host of a child killed while it started stayed for good, holding the
// test's output pipe, and ctest waited for it until its time-out.
TEST(Win32SpawnTest, ChildrenRunWithoutAConsoleHost) {
  SpawnedProcess child;
  std::string error;
  ASSERT_TRUE(spawn_process({child_exe(), "sleep", "60000"}, {}, &child, &error)) << error;
  const DWORD pid = static_cast<DWORD>(child.pid);
  // The host starts with the child; give it time to show up.
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(console_hosts_of(pid), 0);
  EXPECT_TRUE(spawn_kill(&child));
  EXPECT_EQ(spawn_wait_for(&child, 5000), 1);
}

TEST(Win32SpawnTest, ProgramsThatCannotStart) {
  TempDir dir;
  SpawnedProcess child;
  std::string error;
  EXPECT_FALSE(spawn_process({}, {}, &child, &error));
  EXPECT_FALSE(spawn_process({"no-such-program-halvex"}, {}, &child, &error));
  EXPECT_EQ(error, "spawn no-such-program-halvex: not found along PATH");
  std::string missing = dir.file("missing.exe");
  EXPECT_FALSE(spawn_process({missing}, {}, &child, &error));
  EXPECT_EQ(error.rfind("spawn " + missing + ": ", 0), 0u) << error;
  SpawnOptions bad_output;
  bad_output.stdout_path = dir.file("no-folder/out.txt");
  EXPECT_FALSE(spawn_process({child_exe()}, bad_output, &child, &error));
  EXPECT_EQ(child.handle, nullptr);
}

class Win32ProgramSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t buf[32768];
    DWORD n = ::GetEnvironmentVariableW(L"PATH", buf, 32768);
    saved_path_ = std::wstring(buf, n);
  }
  void TearDown() override { ::SetEnvironmentVariableW(L"PATH", saved_path_.c_str()); }

  std::wstring saved_path_;
  TempDir dir_;
};

TEST_F(Win32ProgramSearchTest, PathEntriesAbsoluteOnlyInOrder) {
  for (const char* folder : {"one", "two words", "three", "rel"})
    fs::create_directories(wide(dir_.file(folder)));
  for (const char* folder : {"two words", "three", "rel"})
    fs::copy_file(wide(child_exe()), wide(dir_.file(std::string(folder) + "/ffmpeg.exe")));
  fs::create_directories(wide(dir_.file("one/ffmpeg.exe")));  // a folder is no program
  std::string one = dirs_join_path(dir_.path(), "one");
  std::string two = dirs_join_path(dir_.path(), "two words");
  std::string three = dirs_join_path(dir_.path(), "three");
  std::wstring path = win32::to_wide("rel;;" + one + ";\"" + two + "\";" + three + "\\");
  ::SetCurrentDirectoryW(win32::to_wide_path(dir_.path()).c_str());
  ::SetEnvironmentVariableW(L"PATH", path.c_str());
  EXPECT_EQ(program_search_path("ffmpeg"),
            (std::vector<std::string>{two + "\\ffmpeg.exe", three + "\\ffmpeg.exe"}));
  EXPECT_EQ(program_search_path("ffmpeg.exe"), program_search_path("ffmpeg"));
  EXPECT_TRUE(program_search_path("ffprobe").empty());
  ::SetCurrentDirectoryW(L"C:\\");
}

TEST(Win32ProgramNamesTest, FileNamesAndSystemPlaces) {
  EXPECT_EQ(program_file_name("ffmpeg"), "ffmpeg.exe");
  EXPECT_EQ(program_file_name("cmd.exe"), "cmd.exe");
  EXPECT_EQ(program_file_name("C:\\tools.d\\ffmpeg"), "C:\\tools.d\\ffmpeg.exe");
  std::vector<ProgramPlace> places = program_system_places("ffmpeg");
  ASSERT_EQ(places.size(), 2u);
  EXPECT_TRUE(places[0].path.ends_with("\\ffmpeg\\bin\\ffmpeg.exe")) << places[0].path;
  EXPECT_TRUE(places[0].admin_only);
  EXPECT_EQ(places[1].path, "C:\\ffmpeg\\bin\\ffmpeg.exe");
  EXPECT_FALSE(places[1].admin_only);  // any user may make C:\ffmpeg
}

TEST(Win32ProgramOpenTest, AnOpenProgramCannotBeReplacedAndRunsAsOpened) {
  TempDir dir;
  std::string program = dir.file("ffmpeg.exe");
  fs::copy_file(wide(child_exe()), wide(program));
  EXPECT_FALSE(program_open(dir.path(), false));
  EXPECT_FALSE(program_open(dir.file("missing.exe"), false));
  std::optional<ProgramFile> opened = program_open(program, false);
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->path(), program);
  EXPECT_FALSE(::DeleteFileW(win32::to_wide_path(program).c_str()));
  EXPECT_FALSE(::MoveFileW(win32::to_wide_path(program).c_str(),
                           win32::to_wide_path(dir.file("x.exe")).c_str()));

  SpawnOptions options;
  options.stdout_path = dir.file("out.txt");
  SpawnedProcess child;
  std::string error;
  ASSERT_TRUE(spawn_program(*opened, {"ffmpeg", "exit", "3"}, options, &child, &error)) << error;
  EXPECT_EQ(spawn_wait_for(&child, 20000), 3);
  EXPECT_EQ(read_text(options.stdout_path), "exit\n3\n");
  opened.reset();
  EXPECT_TRUE(::DeleteFileW(win32::to_wide_path(program).c_str()));
}

TEST(Win32UpdateScriptTest, TheBatchLines) {
  std::string text =
      update_script_text(4242, "C:\\Temp\\up 100%\\Setup (1).exe",
                         "C:\\Temp\\up 100%\\_halvex_update.bat", "C:\\Temp\\up 100%");
  EXPECT_EQ(
      text,
      "@echo off\r\n"
      "echo Waiting for Halvex Service (PID 4242) to exit...\r\n"
      ":waitloop\r\n"
      "tasklist /FI \"PID eq 4242\" 2>NUL | find /I \"4242\" >NUL\r\n"
      "if not errorlevel 1 (\r\n"
      "    timeout /t 1 /nobreak >nul\r\n"
      "    goto waitloop\r\n"
      ")\r\n"
      "echo Running installer...\r\n"
      "\"C:\\Temp\\up 100%%\\Setup (1).exe\" /VERYSILENT /NORESTART /SUPPRESSMSGBOXES /SP-\r\n"
      "del \"C:\\Temp\\up 100%%\\Setup (1).exe\" 2>nul\r\n"
      "del \"%~f0\" & rmdir \"C:\\Temp\\up 100%%\" 2>nul\r\n");
  EXPECT_EQ(update_script_name(), "_halvex_update.bat");
}

// Runs the script as the worker does, for an agent that has ended, in a
// folder whose name cmd would misread unquoted, or with its % not doubled
// in the batch file (a %NAME% in a path would be expanded by cmd /c itself
// before the script runs; the agent's folder names have none).
TEST(Win32UpdateScriptTest, RunsTheInstallerThenRemovesItselfAndTheFolder) {
  TempDir dir;
  std::string folder = dirs_join_path(dir.path(), "update (x) & y;z");
  fs::create_directories(wide(folder));
  std::string installer = dirs_join_path(folder, "Halvex_Service_Setup.exe");
  std::string script = dirs_join_path(folder, update_script_name());
  std::string args = dirs_join_path(dir.path(), "args.txt");
  fs::copy_file(wide(child_exe()), wide(installer));

  SpawnedProcess agent;
  std::string error;
  ASSERT_TRUE(spawn_process({child_exe()}, {}, &agent, &error)) << error;
  int agent_pid = agent.pid;
  ASSERT_EQ(spawn_wait_for(&agent, 20000), 0);

  std::ofstream(wide(script), std::ios::binary)
      << update_script_text(agent_pid, installer, script, folder);
  ::SetEnvironmentVariableW(L"HALVEX_CHILD_OUT", win32::to_wide_path(args).c_str());
  ASSERT_TRUE(update_script_start(script, "", &error)) << error;
  ::SetEnvironmentVariableW(L"HALVEX_CHILD_OUT", nullptr);
  auto deadline = std::chrono::steady_clock::now() + 30s;
  while (fs::exists(wide(script)) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(50ms);
  EXPECT_EQ(read_text(args), "/VERYSILENT\n/NORESTART\n/SUPPRESSMSGBOXES\n/SP-\n");
  EXPECT_FALSE(fs::exists(wide(installer)));
  EXPECT_FALSE(fs::exists(wide(script)));
  // Windows' cmd closes the batch file between lines, so the rmdir after
  // the script's own del finds the folder empty. Wine's keeps the file open
  // until the script ends: the folder outlives it there, but empty.
  EXPECT_TRUE(!fs::exists(wide(folder)) || fs::is_empty(wide(folder)));
}

TEST(Win32UpdateScriptTest, AMissingInterpreterIsAFailure) {
  std::string error;
  EXPECT_FALSE(update_script_start("C:\\x.bat", "C:\\no\\such\\cmd.exe", &error));
  EXPECT_EQ(error.rfind("start C:\\x.bat: ", 0), 0u) << error;
}

// A privileged agent takes a program from a place others may control only
// when the administrators own it and nobody else may change it.
TEST(Win32ProgramOpenTest, OwnerAndAccessListDecideForAPrivilegedAgent) {
  struct Case {
    const wchar_t* sddl;
    bool runs;
  };
  const Case cases[] = {
      {L"O:BAD:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FRFX;;;BU)", true},
      {L"O:SYD:P(A;;FA;;;SY)(A;;FRFX;;;WD)", true},
      {L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464D:P(A;;FRFX;;;BU)", true},
      {L"O:BUD:P(A;;FA;;;BA)(A;;FRFX;;;BU)", false},        // owned by the users
      {L"O:BAD:P(A;;FA;;;BA)(A;;FA;;;BU)", false},          // users may change it
      {L"O:BAD:P(A;;FA;;;BA)(A;;0x00010000;;;WD)", false},  // everybody may delete it
      {L"O:BAD:P(A;;FA;;;BA)(A;;FRFXFW;;;AU)", false},      // signed-in users may write it
      {L"O:BAD:P(A;;FA;;;BA)(A;;GA;;;WD)", false},          // everybody may do all
      {L"O:BA", false},                                     // no list at all
  };
  for (const Case& c : cases) {
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(::ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl, SDDL_REVISION_1, &sd,
                                                                       nullptr))
        << win32::to_utf8(c.sddl);
    EXPECT_EQ(program_admin_controls(sd), c.runs) << win32::to_utf8(c.sddl);
    ::LocalFree(sd);
  }
  // A null access list (which wine's SDDL parser can't express) allows all.
  SECURITY_DESCRIPTOR null_list;
  BYTE admins[SECURITY_MAX_SID_SIZE];
  DWORD admins_size = sizeof admins;
  ASSERT_TRUE(::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &admins_size));
  ASSERT_TRUE(::InitializeSecurityDescriptor(&null_list, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(::SetSecurityDescriptorOwner(&null_list, admins, FALSE));
  ASSERT_TRUE(::SetSecurityDescriptorDacl(&null_list, TRUE, nullptr, FALSE));
  EXPECT_FALSE(program_admin_controls(&null_list));

  // Under wine every file is the user's: a privileged agent refuses it.
  TempDir dir;
  std::string program = dir.file("ffmpeg.exe");
  fs::copy_file(wide(child_exe()), wide(program));
  EXPECT_FALSE(program_open(program, true));
  EXPECT_TRUE(program_open(program, false));
}

}  // namespace
}  // namespace halvex
