// Starting other programs.

#pragma once

#include <string>

namespace halvex {

// Opens `url` in the desktop user's browser (xdg-open here), without waiting
// and without examining the result.
void process_open_url(const std::string& url);

}  // namespace halvex
