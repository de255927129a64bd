// Starting other programs.

#pragma once

#include <string>

namespace halvex {

// Opens `url` in the desktop user's browser (xdg-open here, the shell on
// Windows), without waiting and without examining the result.
void process_open_url(const std::string& url);

// Whether the agent should open the browser itself: not as root on Linux,
// where root doesn't start the desktop's browser (callers log the URL
// instead); always on Windows, where the agent runs elevated by design.
bool process_may_open_browser();

// The id of this process.
int process_current_id();

// Ends this process at once with `code`: standard streams are flushed, but
// no destructor runs and no other thread is waited for (they may still be
// using what destructors would free).
[[noreturn]] void process_exit(int code);

}  // namespace halvex
