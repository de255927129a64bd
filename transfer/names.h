// File names from outside input: the name a downloaded file is saved under,
// the numbered names tried when it is taken, and the installer's name.
// Every name returned is a single path component that stays inside the
// folder it is joined to: never empty, ".", "..", a Windows device name
// ("NUL", "COM1.txt", ...), and never holding '/', '\', ':', or a control
// character.
//
// Pure functions; any thread.

#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace halvex {

// Longest file name, in bytes (NAME_MAX here, and the size of the name
// field on the other build).
constexpr size_t kMaxFileNameBytes = 255;

// The text after the last '/' or '\' (all of it when there is none).
std::string_view transfer_last_part(std::string_view text);

// The name a download is saved under. `filename` is the item's "filename"
// when that is a string. Its last part, cut to 255 bytes, unless that is
// empty, "." or "..", a device name, or holds a control character or ':';
// then (and without a filename) "file_<index>".
std::string download_name(const std::optional<std::string_view>& filename, int index);

// The n-th alternative to a taken `name`: "stem (n).ext", split at the last
// '.' (".cfg" gives " (1).cfg", "notes" gives "notes (1)"). The extension is
// kept whole; the stem is shortened when the result would exceed 255 bytes.
// nullopt when even an empty stem would not fit.
std::optional<std::string> download_numbered_name(std::string_view name, int n);

// The installer's file name: the last part of `filename` when it is made
// only of letters, digits, '.', '_' and '-' and is not "." or ".." or a
// device name; otherwise "Halvex_Service_Setup.exe".
std::string update_installer_name(std::string_view filename);

}  // namespace halvex
