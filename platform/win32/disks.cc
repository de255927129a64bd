// Windows disks and drives: the disk list from PowerShell's Get-Disk,
// sizes asked of the device (or of the file, for a disk image), and the
// drive letters with their volume labels. DeviceRoots has no meaning here.

#include "platform/disks.h"

#include <windows.h>
#include <winioctl.h>

#include <cstdint>

#include "platform/win32/get_disk_csv.h"
#include "platform/win32/get_disk_query.h"
#include "platform/win32/process_start.h"
#include "platform/win32/text.h"

namespace halvex {

namespace win32 {

const wchar_t* const kGetDiskCommand =
    L"powershell -NoProfile -Command \"Get-Disk | Select-Object Number,FriendlyName,Size,BusType | "
    L"ConvertTo-Csv -NoTypeInformation\"";

namespace {

constexpr DWORD kQueryWaitMs = 5000;
constexpr size_t kReadChunk = 8192;
// Get-Disk prints some hundred bytes per disk; anything this large is not
// its output, and reading stops with what came.
constexpr size_t kMaxOutputBytes = 16u << 20;

// Both pipe ends, the write end inheritable and the read end not.
bool make_pipe(Handle* read_end, Handle* write_end, std::string* error) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE r = nullptr;
  HANDLE w = nullptr;
  if (!::CreatePipe(&r, &w, &sa, 0)) {
    *error = "disk query: pipe: " + error_text(::GetLastError());
    return false;
  }
  read_end->reset(r);
  write_end->reset(w);
  ::SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0);
  return true;
}

void read_to_end(HANDLE pipe, std::string* output) {
  char buf[kReadChunk];
  DWORD got = 0;
  while (output->size() < kMaxOutputBytes && ::ReadFile(pipe, buf, sizeof buf, &got, nullptr) &&
         got > 0) {
    output->append(buf, got);
  }
}

}  // namespace

bool get_disk_run_query(const std::wstring& command_line, std::string* output, std::string* error) {
  output->clear();
  Handle read_end;
  Handle write_end;
  if (!make_pipe(&read_end, &write_end, error)) return false;
  ProcessStart start;
  start.command_line = command_line;
  start.std_output = write_end.get();
  start.std_error = write_end.get();
  start.inherit = {write_end.get()};
  PROCESS_INFORMATION pi{};
  if (DWORD code = start_process(start, &pi)) {
    *error = "disk query: start: " + error_text(code);
    return false;
  }
  Handle process(pi.hProcess);
  Handle thread(pi.hThread);
  // Our copy of the write end must go, or the read below never sees the end.
  write_end.reset();
  read_to_end(read_end.get(), output);
  ::WaitForSingleObject(process.get(), kQueryWaitMs);
  return true;
}

}  // namespace win32

namespace {

bool is_regular_file(HANDLE h) {
  FILE_ATTRIBUTE_TAG_INFO info{};
  return ::GetFileType(h) == FILE_TYPE_DISK &&
         ::GetFileInformationByHandleEx(h, FileAttributeTagInfo, &info, sizeof info) &&
         (info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The volume label of `root` ("C:\"), or "" when it has none or can't be
// read (an empty card reader, a disconnected network drive).
std::string volume_label(const std::wstring& root) {
  wchar_t label[MAX_PATH + 1] = L"";
  // No "insert a disk" dialog for an empty drive.
  DWORD old_mode = 0;
  ::SetThreadErrorMode(SEM_FAILCRITICALERRORS, &old_mode);
  BOOL ok = ::GetVolumeInformationW(root.c_str(), label, MAX_PATH + 1, nullptr, nullptr, nullptr,
                                    nullptr, 0);
  ::SetThreadErrorMode(old_mode, nullptr);
  return ok ? win32::to_utf8(label) : "";
}

}  // namespace

bool disks_list_physical(const DeviceRoots&, std::vector<PhysicalDisk>* out, std::string* error) {
  out->clear();
  std::string text;
  if (!win32::get_disk_run_query(win32::kGetDiskCommand, &text, error)) return false;
  // An empty output (no disks, or a PowerShell without Get-Disk) is an empty
  // list; anything else is parsed line by line, error text included.
  if (!text.empty()) *out = get_disk_parse_output(text);
  return true;
}

std::optional<std::string> disks_device_path(const DeviceRoots&, int number) {
  if (number < 0) return std::nullopt;
  return get_disk_drive_path(number);
}

uint64_t disks_device_size(const std::string& path) {
  if (path.empty()) return 0;
  win32::Handle h(::CreateFileW(win32::to_wide_path(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                nullptr));
  if (!h.valid()) return 0;
  GET_LENGTH_INFORMATION length{};
  DWORD got = 0;
  if (::DeviceIoControl(h.get(), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length,
                        &got, nullptr)) {
    return static_cast<uint64_t>(length.Length.QuadPart);
  }
  // The control is for disks and volumes; a disk image file answers with
  // its own size.
  LARGE_INTEGER size{};
  if (is_regular_file(h.get()) && ::GetFileSizeEx(h.get(), &size))
    return static_cast<uint64_t>(size.QuadPart);
  return 0;
}

std::vector<MountedVolume> disks_list_volumes(const DeviceRoots&) {
  std::vector<MountedVolume> volumes;
  DWORD mask = ::GetLogicalDrives();
  for (int bit = 0; bit < 26; bit++) {
    if ((mask & (1u << bit)) == 0) continue;
    char letter = static_cast<char>('A' + bit);
    std::string name = std::string(1, letter) + ":";
    std::string root = name + "\\";
    volumes.push_back({root, volume_label(win32::to_wide(root)), name});
  }
  return volumes;
}

}  // namespace halvex
