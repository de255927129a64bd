// Test hook for the Windows serial ports. Never called by the product.

#pragma once

#include <string>
#include <vector>

namespace halvex {

// Makes serial_list_ports answer `names` (for example {"COM9"}) instead of
// asking SetupAPI, which under wine never sees a port linked into the
// prefix after it started; an empty list asks SetupAPI again.
void serial_set_ports_for_testing(const std::vector<std::string>& names);

}  // namespace halvex
