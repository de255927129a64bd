// The hand-over script as a cmd batch file: it polls tasklist for the
// agent's process id once a second, then runs the installer, deletes it,
// and deletes itself and the update folder on its last line (cmd reads a
// batch file line by line, so nothing may follow the line that deletes it).

#include "platform/update_script.h"

#include <windows.h>

#include "platform/win32/process_start.h"
#include "platform/win32/text.h"

namespace halvex {

namespace {

// A path for a batch line: quoted, and with '%' doubled, since cmd expands
// %...% even inside quotes. A Windows path holds no '"'.
std::string batch_quote(const std::string& path) {
  std::string out = "\"";
  for (char c : path) out += c == '%' ? std::string("%%") : std::string(1, c);
  return out + "\"";
}

std::string system_cmd() {
  wchar_t dir[MAX_PATH + 1];
  UINT n = ::GetSystemDirectoryW(dir, MAX_PATH + 1);
  if (n == 0 || n > MAX_PATH) return "cmd.exe";
  return win32::to_utf8(std::wstring(dir, n)) + "\\cmd.exe";
}

}  // namespace

std::string update_script_name() { return "_halvex_update.bat"; }

// The script names itself as %~f0, whatever its path.
std::string update_script_text(int agent_pid, const std::string& installer,
                               const std::string& /*script*/, const std::string& folder) {
  std::string pid = std::to_string(agent_pid);
  return "@echo off\r\n"
         "echo Waiting for Halvex Service (PID " +
         pid +
         ") to exit...\r\n"
         ":waitloop\r\n"
         "tasklist /FI \"PID eq " +
         pid + "\" 2>NUL | find /I \"" + pid +
         "\" >NUL\r\n"
         "if not errorlevel 1 (\r\n"
         "    timeout /t 1 /nobreak >nul\r\n"
         "    goto waitloop\r\n"
         ")\r\n"
         "echo Running installer...\r\n" +
         batch_quote(installer) +
         " /VERYSILENT /NORESTART /SUPPRESSMSGBOXES /SP-\r\n"
         "del " +
         batch_quote(installer) +
         " 2>nul\r\n"
         "del \"%~f0\" & rmdir " +
         batch_quote(folder) + " 2>nul\r\n";
}

bool update_script_start(const std::string& script, const std::string& interpreter,
                         std::string* error) {
  std::string cmd = interpreter.empty() ? system_cmd() : interpreter;
  // /d: no AutoRun commands from the registry. /s with the whole command in
  // one more pair of quotes: cmd takes off the outer pair and leaves the
  // script's path exactly as quoted, whatever characters it holds.
  std::wstring line =
      L"\"" + win32::to_wide(cmd) + L"\" /d /s /c \"\"" + win32::to_wide(script) + L"\"\"";
  win32::ProcessStart start;
  start.application = win32::to_wide_path(cmd);
  start.command_line = line;
  start.own_group = true;
  PROCESS_INFORMATION pi{};
  if (DWORD code = win32::start_process(start, &pi)) {
    *error = "start " + script + ": " + win32::error_text(code);
    return false;
  }
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  return true;
}

}  // namespace halvex
