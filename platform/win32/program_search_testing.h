// The ownership rule of program_open on Windows, for tests: wine keeps no
// owner or access list of its own on files (every file reads as the
// user's), so the rule is checked on security descriptors built in the
// test, and on a real file only for its refusal.

#pragma once

#include <windows.h>

namespace halvex {

// True when the descriptor's owner is the administrators, the system or
// TrustedInstaller, and its access list lets nobody else write, append,
// delete, or change the owner or the list.
bool program_admin_controls(PSECURITY_DESCRIPTOR sd);

}  // namespace halvex
