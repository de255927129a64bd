// Build-wide constants.

#pragma once

namespace halvex {

constexpr const char* SERVICE_VERSION = "0.2.1";
constexpr const char* kUserAgent = "Halvex_Service/1.0";
// The "build" member of pairing and authentication requests.
constexpr const char* kBuildName = "native";

}  // namespace halvex
