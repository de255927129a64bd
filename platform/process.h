// Starting other programs.

#pragma once

#include <string>

namespace halvex {

// Opens `url` in the desktop user's browser (xdg-open here, the shell on
// Windows), without waiting and without examining the result. A Linux process
// running as root opens nothing: root doesn't start the desktop's browser.
void process_open_url(const std::string& url);

// The id of this process.
int process_current_id();

// Ends this process at once with `code`: standard streams are flushed, but
// no destructor runs and no other thread is waited for (they may still be
// using what destructors would free).
[[noreturn]] void process_exit(int code);

}  // namespace halvex
