// Machine-supplied text made safe for an operator's terminal. Host names,
// error texts and file names come from machines the operator does not
// control; printed raw, an escape sequence among them could move the
// cursor, rewrite earlier lines, retitle the window or worse. Every human
// printer of the command-line tools passes such text through
// terminal_safe(); JSON output needs nothing (it is not read by a terminal's
// parser but by programs).
//
// Pure functions; any thread.

#pragma once

#include <string>
#include <string_view>

namespace halvex::server {

// `text` with every control character written out visibly: C0 controls
// (tab, line end and ESC included) as \t, \n, \r, \e or \xNN, DEL as \x7f,
// the C1 controls U+0080 to U+009F as \u0080 to \u009f, and bytes that
// start no UTF-8 character as \xNN (a lone 0x9b is CSI to some terminals).
// A backslash is doubled, so what is shown reads back one way. Other
// well-formed UTF-8 stays as it is.
std::string terminal_safe(std::string_view text);

}  // namespace halvex::server
