// The self-update's hand-over script, written in the system's own command
// language (POSIX sh here, a cmd batch file on Windows), and its start as a
// hidden process that outlives the agent. The script waits until the
// agent's process has ended, runs the installer with /VERYSILENT
// /NORESTART /SUPPRESSMSGBOXES /SP-, and deletes the installer, itself and
// then the agent's private update folder holding them.
//
// Any thread; no state.

#pragma once

#include <string>

namespace halvex {

// The script's file name inside the update folder.
std::string update_script_name();

// The script's whole text. The paths are quoted for the command language
// whatever they hold.
std::string update_script_text(int agent_pid, const std::string& installer,
                               const std::string& script, const std::string& folder);

// Starts `script` with `interpreter` ("" for the system's own: /bin/sh,
// cmd.exe), hidden, with no inherited handles, on its own so that it runs
// on after this process ends; nothing of it is waited for. False with
// *error set when it could not be started.
bool update_script_start(const std::string& script, const std::string& interpreter,
                         std::string* error);

}  // namespace halvex
