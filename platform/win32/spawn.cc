// Child processes on Windows: started by win32::start_process, hidden and
// without a console, inheriting no handle but the standard output and
// error files a caller names. Arguments are
// quoted for the C runtime's command-line parser; the process handle kept
// in SpawnedProcess is what waits, terminates and reads the exit code.

#include "platform/spawn.h"

#include <windows.h>

#include "platform/win32/process_start.h"
#include "platform/win32/text.h"

namespace halvex {

namespace {

// Exit code of a process ended by spawn_kill.
constexpr UINT kKilledExitCode = 1;

// One argument as CommandLineToArgvW and the C runtime read it back:
// quoted when it holds white space or a quote (or is empty), with the
// backslashes before a quote, and before the closing quote, doubled.
void append_quoted(const std::wstring& arg, std::wstring* line) {
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    *line += arg;
    return;
  }
  *line += L'"';
  size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      backslashes++;
      continue;
    }
    line->append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    *line += c;
  }
  line->append(backslashes * 2, L'\\');
  *line += L'"';
}

std::wstring command_line(const std::vector<std::string>& argv) {
  std::wstring line;
  for (const std::string& arg : argv) {
    if (!line.empty()) line += L' ';
    append_quoted(win32::to_wide(arg), &line);
  }
  return line;
}

bool has_separator(const std::string& path) {
  return path.find_first_of("\\/:") != std::string::npos;
}

// A file for a child's output, inheritable, or an invalid handle for "".
bool open_output(const std::string& path, win32::Handle* out, std::string* error) {
  if (path.empty()) return true;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  out->reset(::CreateFileW(win32::to_wide_path(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (out->valid()) return true;
  *error = "open " + path + ": " + win32::error_text(::GetLastError());
  return false;
}

bool start_program(const std::string& program, const std::vector<std::string>& argv,
                   const SpawnOptions& options, SpawnedProcess* out, std::string* error) {
  const std::string what = "spawn " + program;
  win32::Handle out_file, err_file;
  if (!open_output(options.stdout_path, &out_file, error) ||
      !open_output(options.stderr_path, &err_file, error)) {
    *error = what + ": " + *error;
    return false;
  }
  win32::ProcessStart start;
  start.application = win32::to_wide_path(program);
  start.command_line = command_line(argv);
  start.std_output = out_file.get();
  start.std_error = err_file.get();
  if (out_file.valid()) start.inherit.push_back(out_file.get());
  if (err_file.valid()) start.inherit.push_back(err_file.get());
  start.own_group = options.new_session;
  // The children (ffmpeg) write only to the files named and read nothing:
  // they need no console, and spawn_kill may end one while it starts.
  start.console = false;
  PROCESS_INFORMATION pi{};
  if (DWORD code = win32::start_process(start, &pi)) {
    *error = what + ": " + win32::error_text(code);
    return false;
  }
  ::CloseHandle(pi.hThread);
  out->pid = static_cast<int>(pi.dwProcessId);
  out->status.reset();
  out->handle = pi.hProcess;
  return true;
}

}  // namespace

bool spawn_process(const std::vector<std::string>& argv, const SpawnOptions& options,
                   SpawnedProcess* out, std::string* error) {
  if (argv.empty()) {
    *error = "spawn: no program";
    return false;
  }
  std::string program = argv[0];
  if (!has_separator(program)) {
    std::vector<std::string> found = program_search_path(program);
    if (found.empty()) {
      *error = "spawn " + program + ": not found along PATH";
      return false;
    }
    program = found[0];
  }
  return start_program(program, argv, options, out, error);
}

bool spawn_program(const ProgramFile& program, const std::vector<std::string>& argv,
                   const SpawnOptions& options, SpawnedProcess* out, std::string* error) {
  // The open ProgramFile keeps the file from being replaced meanwhile, so
  // its path still names what was checked.
  return start_program(program.path(), argv, options, out, error);
}

std::optional<int> spawn_wait_for(SpawnedProcess* process, uint32_t timeout_ms) {
  if (process->status) return process->status;
  if (process->handle == nullptr) return std::nullopt;
  if (::WaitForSingleObject(process->handle, timeout_ms) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  ::GetExitCodeProcess(process->handle, &code);
  ::CloseHandle(process->handle);
  process->handle = nullptr;
  process->pid = -1;
  process->status = static_cast<int>(code);
  return process->status;
}

bool spawn_kill(SpawnedProcess* process) {
  return process->handle != nullptr && ::TerminateProcess(process->handle, kKilledExitCode) != 0;
}

void spawn_detach(SpawnedProcess* process) {
  // Nothing to reap on Windows: closing the handle lets the process go.
  if (process->handle != nullptr) ::CloseHandle(process->handle);
  *process = SpawnedProcess{};
}

}  // namespace halvex
