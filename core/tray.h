// What the tray shows: the status line, the tooltip and whether the machine
// is linked. Other modules set these from any thread; the tray's front end
// reads them.

#pragma once

#include <string>

namespace halvex {

// Each setter takes UTF-8 text, kept to 127 bytes as the tray's fields are.
void tray_set_status(const std::string& text);
void tray_set_tooltip(const std::string& text);
void tray_set_linked(bool linked);

std::string tray_status();   // starts as "Not linked"
std::string tray_tooltip();  // starts as "Halvex Service v0.2.1"
bool tray_linked();

}  // namespace halvex
