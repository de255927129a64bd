// install_probe install-cycle <Halvex_Service_Setup.exe>: installs the agent
// silently with the switches its self-update passes, checks what a Windows
// user would find (files under Program Files, the program's version record,
// icon group and manifest, the Run key), then the installed agent itself:
// started by the installer, its tray up, a second start giving way to it,
// a double-click starting pairing, Disconnect forgetting the identity, and
// Exit from its tray menu shutting it down. Last it uninstalls silently
// and checks that all of it is gone. Prints each failed check and
// exits 1 when there was one. Runs under wine (cmake/wine-gui).

#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int g_failures = 0;

void check(bool ok, const char* what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
  if (!ok) g_failures++;
}

std::wstring widen(const char* text) {
  int n = ::MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::wstring out(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) ::MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), n);
  return out;
}

// A path given from the Linux side ("/work/...") as wine's Z: drive sees it.
std::wstring windows_path(const char* path) {
  std::wstring w = widen(path);
  if (!w.empty() && w[0] == L'/') w = L"Z:" + w;
  for (wchar_t& c : w)
    if (c == L'/') c = L'\\';
  return w;
}

bool exists(const std::wstring& path) {
  return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Runs a command line and waits for it; its exit code, or -1.
long run(const std::wstring& command_line, DWORD timeout_ms) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::wstring line = command_line;
  if (!::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi))
    return -1;
  DWORD code = static_cast<DWORD>(-1);
  if (::WaitForSingleObject(pi.hProcess, timeout_ms) == WAIT_OBJECT_0)
    ::GetExitCodeProcess(pi.hProcess, &code);
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  return static_cast<long>(code);
}

bool eventually(bool (*done)(const std::wstring&), const std::wstring& arg, int seconds) {
  for (int i = 0; i < seconds * 10; i++) {
    if (done(arg)) return true;
    ::Sleep(100);
  }
  return done(arg);
}

bool agent_running(const std::wstring&) {
  HANDLE mutex = ::OpenMutexW(SYNCHRONIZE, FALSE, L"Global\\HalvexServiceNative");
  if (mutex == nullptr) return false;
  ::CloseHandle(mutex);
  return true;
}

bool agent_gone(const std::wstring& arg) { return !agent_running(arg); }
bool missing(const std::wstring& path) { return !exists(path); }

std::wstring run_value() {
  wchar_t value[1024] = {};
  DWORD size = sizeof value;
  LSTATUS st = ::RegGetValueW(
      HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", L"Halvex Service",
      RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, value, &size);
  return st == ERROR_SUCCESS ? std::wstring(value) : std::wstring();
}

bool run_value_gone(const std::wstring&) { return run_value().empty(); }

std::wstring version_string(const std::vector<char>& info, const wchar_t* name) {
  std::wstring query = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
  void* value = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(info.data(), query.c_str(), &value, &length) || value == nullptr)
    return L"";
  return static_cast<const wchar_t*>(value);
}

void check_version_record(const std::wstring& exe) {
  DWORD handle = 0;
  DWORD size = ::GetFileVersionInfoSizeW(exe.c_str(), &handle);
  std::vector<char> info(size);
  bool read = size > 0 && ::GetFileVersionInfoW(exe.c_str(), 0, size, info.data());
  check(read, "version record present");
  if (!read) return;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  bool has_fixed =
      ::VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed;
  check(has_fixed && fixed->dwFileVersionMS == MAKELONG(2, 0) &&
            fixed->dwFileVersionLS == MAKELONG(0, 1),
        "file version 0.2.1.0");
  check(has_fixed && fixed->dwProductVersionMS == MAKELONG(2, 0) &&
            fixed->dwProductVersionLS == MAKELONG(0, 1),
        "product version 0.2.1.0");
  check(version_string(info, L"ProductName") == L"Halvex Service", "ProductName Halvex Service");
  check(version_string(info, L"FileDescription") == L"Halvex Service",
        "FileDescription Halvex Service");
  check(version_string(info, L"InternalName") == L"Halvex_Service", "InternalName Halvex_Service");
  check(version_string(info, L"OriginalFilename") == L"Halvex_Service.exe",
        "OriginalFilename Halvex_Service.exe");
  check(version_string(info, L"FileVersion") == L"0.2.1.0", "FileVersion text 0.2.1.0");
}

#pragma pack(push, 2)
struct GroupIconEntry {
  BYTE width, height, colors, reserved;
  WORD planes, bit_count;
  DWORD bytes;
  WORD id;
};
struct GroupIconHeader {
  WORD reserved, type, count;
};
#pragma pack(pop)

const void* resource(HMODULE module, LPCWSTR type, LPCWSTR name, DWORD* size) {
  HRSRC found = ::FindResourceW(module, name, type);
  if (found == nullptr) return nullptr;
  *size = ::SizeofResource(module, found);
  HGLOBAL loaded = ::LoadResource(module, found);
  return loaded != nullptr ? ::LockResource(loaded) : nullptr;
}

void check_icon_and_manifest(const std::wstring& exe) {
  HMODULE module = ::LoadLibraryExW(exe.c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  check(module != nullptr, "program loads as a resource file");
  if (module == nullptr) return;
  DWORD size = 0;
  const auto* group = static_cast<const GroupIconHeader*>(
      resource(module, RT_GROUP_ICON, MAKEINTRESOURCEW(1), &size));
  bool six = group != nullptr && size >= sizeof(GroupIconHeader) && group->count == 6 &&
             size >= sizeof(GroupIconHeader) + 6 * sizeof(GroupIconEntry);
  check(six, "icon group of six icons");
  if (six) {
    const auto* entries = reinterpret_cast<const GroupIconEntry*>(group + 1);
    const int widths[] = {16, 32, 48, 64, 128, 256};
    bool sizes = true;
    for (int i = 0; i < 6; i++) {
      int width = entries[i].width == 0 ? 256 : entries[i].width;
      if (width != widths[i] || entries[i].bit_count != 32) sizes = false;
    }
    check(sizes, "icons 16, 32, 48, 64, 128, 256 pixels, 32-bit");
  }
  const char* manifest =
      static_cast<const char*>(resource(module, RT_MANIFEST, MAKEINTRESOURCEW(1), &size));
  std::string text = manifest != nullptr ? std::string(manifest, size) : "";
  check(text.find("level=\"asInvoker\"") != std::string::npos, "manifest asks for asInvoker");
  check(text.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}") != std::string::npos,
        "manifest declares Windows 10 and 11");
  ::FreeLibrary(module);
}

std::string read_file(const std::wstring& path) {
  HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "";
  std::string text;
  char buf[4096];
  DWORD got = 0;
  while (::ReadFile(file, buf, sizeof buf, &got, nullptr) && got > 0) text.append(buf, got);
  ::CloseHandle(file);
  return text;
}

std::wstring g_log_path;  // the agent's service.log

bool log_has(const char* line) { return read_file(g_log_path).find(line) != std::string::npos; }
bool tray_added(const std::wstring&) { return log_has("] System tray icon added"); }
bool shut_down(const std::wstring&) { return log_has("] Shutting down"); }
bool login_requested(const std::wstring&) { return log_has("] Login requested (browser pairing)"); }
bool disconnect_requested(const std::wstring&) { return log_has("] Disconnect requested"); }

HWND tray_window() { return ::FindWindowExW(HWND_MESSAGE, nullptr, L"HalvexServiceTray", nullptr); }
bool has_tray_window(const std::wstring&) { return tray_window() != nullptr; }

// The agent that the installer started: its start-up reaches the tray, a
// second copy gives way to it, and the tray's Exit ends it.
void check_installed_agent(const std::wstring& exe) {
  wchar_t* roaming = nullptr;
  ::SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, nullptr, &roaming);
  g_log_path =
      std::wstring(roaming != nullptr ? roaming : L"") + L"\\Halvex Service Native\\service.log";
  ::CoTaskMemFree(roaming);

  check(eventually(agent_running, L"", 20), "installer started the agent");
  check(eventually(tray_added, L"", 20), "agent logged its tray icon");
  check(eventually(has_tray_window, L"", 10), "agent's tray window exists");

  // A second start tries the instance mutex 10 times, 500 ms apart, then
  // ends with 0 without writing anything.
  std::string log_before = read_file(g_log_path);
  ULONGLONG start = ::GetTickCount64();
  long code = run(L"\"" + exe + L"\"", 30000);
  ULONGLONG took = ::GetTickCount64() - start;
  check(code == 0, "second start exits with 0");
  check(took >= 4000, "second start waited for the first through its retries");
  check(read_file(g_log_path) == log_before, "second start wrote nothing");

  // A double-click on the icon while not linked starts pairing.
  HWND tray = tray_window();
  ::PostMessageW(tray, WM_USER + 20, 1, WM_LBUTTONDBLCLK);
  check(eventually(login_requested, L"", 10), "double-click while not linked starts pairing");

  // Disconnect from the menu forgets the identity: the configuration goes.
  std::wstring config = g_log_path.substr(0, g_log_path.rfind(L'\\')) + L"\\halvex_service.conf";
  check(exists(config), "agent made its configuration");
  ::PostMessageW(tray, WM_COMMAND, 1003, 0);
  check(eventually(disconnect_requested, L"", 10), "Disconnect command reached the agent");
  check(eventually(missing, config, 10), "Disconnect deleted the configuration");

  // Exit, as the tray menu sends it.
  check(tray != nullptr && ::PostMessageW(tray, WM_COMMAND, 1004, 0),
        "Exit command posted to the tray");
  check(eventually(agent_gone, L"", 20), "Exit ended the agent");
  check(eventually(shut_down, L"", 5), "agent logged its shutdown");
  std::string log = read_file(g_log_path);
  size_t exit_at = log.find("] Exit requested");
  check(exit_at != std::string::npos && log.find("] Shutting down", exit_at) != std::string::npos,
        "Exit requested, then Shutting down");
}

int install_cycle(const char* setup_arg) {
  std::wstring setup = windows_path(setup_arg);
  check(exists(setup), "installer built");
  wchar_t* program_files = nullptr;
  ::SHGetKnownFolderPath(FOLDERID_ProgramFiles, 0, nullptr, &program_files);
  std::wstring dir = std::wstring(program_files != nullptr ? program_files : L"C:\\Program Files") +
                     L"\\Halvex Service";
  ::CoTaskMemFree(program_files);
  std::wstring exe = dir + L"\\halvex-service.exe";

  long code = run(L"\"" + setup + L"\" /VERYSILENT /NORESTART /SUPPRESSMSGBOXES /SP-", 60000);
  check(code == 0, "silent install exits with 0");
  check(exists(exe), "halvex-service.exe under Program Files");
  check(exists(dir + L"\\icon.ico"), "icon.ico beside it");
  check(exists(dir + L"\\uninstall.exe"), "uninstaller beside it");
  check_version_record(exe);
  check_icon_and_manifest(exe);
  check(run_value() == L"\"" + exe + L"\"", "Run key starts the program at logon");
  check_installed_agent(exe);

  code = run(L"\"" + dir + L"\\uninstall.exe\" /S", 60000);
  check(code == 0, "silent uninstall exits with 0");
  // The uninstaller runs on from a copy in the temporary folder.
  check(eventually(missing, exe, 30), "program removed");
  check(eventually(missing, dir, 10), "install folder removed");
  check(run_value_gone(L""), "Run key value removed");
  check(eventually(agent_gone, L"", 10), "agent stopped");
  std::printf("%d failed\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "install-cycle") == 0) return install_cycle(argv[2]);
  std::fprintf(stderr, "usage: install_probe install-cycle <Halvex_Service_Setup.exe>\n");
  return 2;
}
