// Facts about the machine and process, and the clock: the computer name,
// elevation, local time and the operating system's name as the server is
// told it.

#pragma once

#include <ctime>
#include <string>

namespace halvex {

// The computer name. Fails when the system can't tell it.
bool system_hostname(std::string* out);

// True when the process has administrative rights (effective uid 0 here).
bool system_is_elevated();

// Local broken-down time of `t`. Returns false if the conversion fails.
bool system_local_time(std::time_t t, std::tm* out);

// The platform name sent to the server in pairing and authentication
// requests: "Linux" on this build, "Windows" on the Windows build.
const char* system_platform_name();

// The folder where the agent keeps its identity, log and crash log:
// `$XDG_CONFIG_HOME` (else `~/.config`) + "/Halvex Service Native" for a
// user, "/var/lib/halvex-service-native" when running as root. Empty when no
// such folder can be named (no home); callers fall back to the executable's
// folder.
std::string system_app_data_dir();

}  // namespace halvex
