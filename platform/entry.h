// The program's entry: each platform's entry file (platform/posix/main.cc,
// platform/win32/winmain.cc) does what must come before anything else on
// that system and then calls agent_main(), which the program defines
// (service/main.cc). Main thread only.

#pragma once

namespace halvex {

// The whole agent; returns the process exit code.
int agent_main();

}  // namespace halvex
