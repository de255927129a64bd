// The hand-over script as POSIX sh, started in a session of its own.

#include "platform/update_script.h"

#include "platform/spawn.h"

namespace halvex {

namespace {

std::string shell_quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

std::string update_script_name() { return "halvex_update.sh"; }

std::string update_script_text(int agent_pid, const std::string& installer,
                               const std::string& script, const std::string& folder) {
  std::string pid = std::to_string(agent_pid);
  return "#!/bin/sh\n"
         "# Halvex Service update hand-over: waits until the agent has ended, runs\n"
         "# the installer, then removes the installer, this script and its folder.\n"
         "agent_running() {\n"
         "  kill -0 " +
         pid +
         " 2>/dev/null || return 1\n"
         "  # An ended process that its parent has not reaped yet still answers kill -0.\n"
         "  { read -r stat < /proc/" +
         pid +
         "/stat; } 2>/dev/null || return 0\n"
         "  state=${stat##*') '}\n"
         "  [ \"${state%% *}\" != Z ]\n"
         "}\n"
         "echo \"Waiting for Halvex Service (PID " +
         pid +
         ") to exit...\"\n"
         "while agent_running; do\n"
         "  sleep 1\n"
         "done\n"
         "echo \"Running installer...\"\n" +
         shell_quote(installer) +
         " /VERYSILENT /NORESTART /SUPPRESSMSGBOXES /SP-\n"
         "rm -f " +
         shell_quote(installer) +
         "\n"
         "rm -f " +
         shell_quote(script) +
         "\n"
         "rmdir " +
         shell_quote(folder) + " 2>/dev/null\n";
}

bool update_script_start(const std::string& script, const std::string& interpreter,
                         std::string* error) {
  SpawnOptions options;
  options.new_session = true;
  SpawnedProcess child;
  if (!spawn_process({interpreter.empty() ? "/bin/sh" : interpreter, script}, options, &child,
                     error))
    return false;
  spawn_detach(&child);
  return true;
}

}  // namespace halvex
