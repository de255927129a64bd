// DUML frames the drone tests exchange with the agent.

#pragma once

#include <string>

namespace halvex::testing {

// A complete DUML frame, as a device would send one.
inline const std::string kDeviceFrame("\x55\x0d\x04\x33\x2a\x1f\x01\x00\x40\x00\x01\x59\xd2", 13);
// The probe frame the agent writes to a silent port by default.
inline const std::string kDefaultProbe("\x55\x0e\x04\x66\x2a\x1f\x01\x00\x40\x00\x01\x28\x94\xcb",
                                       14);

}  // namespace halvex::testing
