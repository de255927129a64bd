// The physical disk list as PowerShell's Get-Disk query prints it:
//   Get-Disk | Select-Object Number,FriendlyName,Size,BusType | ConvertTo-Csv
// a header line, then one CSV line per disk. This is how the Windows build
// learns its disks; it is plain text handling with no system calls, so it
// is built into every build's platform library, and tested and fuzzed on
// Linux as well as under wine.
//
// Pure functions; any thread.

#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/disks.h"

namespace halvex {

// Takes the next CSV field from *cursor and advances it past the field.
// - At the end of the text it returns "" and leaves the cursor there.
// - A field opening with '"' runs to the next lone '"'; "" inside stands for
//   one '"'. The closing quote is dropped and one ',' after it consumed. An
//   unclosed quote runs to the end of the text.
// - Any other field runs to the next ',', '\r' or '\n' (which is consumed),
//   or to the end of the text.
std::string csv_next_field(std::string_view* cursor);

// The device path of disk `number`: "\\.\PHYSICALDRIVE<n>" (without escapes:
// two backslashes, a dot, a backslash), the form Get-Disk's numbers open as.
std::string get_disk_drive_path(int number);

// One disk line: Number, FriendlyName, Size, BusType. Missing fields read
// as empty; a NUL byte ends the line. The number is the leading decimal digits of Number (0 if
// none, the largest int if too large); the size the leading digits of Size (0 if none, the largest
// value if too large). One trailing '\r' is removed from BusType. The path is the physical drive
// path of the number.
PhysicalDisk get_disk_parse_line(std::string_view line);

// Every disk line of the command's output: the first line is the header
// and skipped, unless the text has no line feed at all, in which case the
// whole text is one disk line. Leading spaces, '\r' and '\n' before a line
// are skipped; every other line counts as a disk line, whatever it holds
// (error text shares the output), as the Windows build has always done.
// The text ends at its first NUL byte, as in the buffer the output is read
// into.
std::vector<PhysicalDisk> get_disk_parse_output(std::string_view text);

}  // namespace halvex
