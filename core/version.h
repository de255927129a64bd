// Build-wide constants.
//
// SERVICE_VERSION comes from the SERVICE_VERSION cache variable and is
// defined in version.cc, an object of its own inside halvex_core: an
// executable that brings its own definition (a test agent built at another
// version) links the same libraries and only that one small file differs.

#pragma once

namespace halvex {

extern const char SERVICE_VERSION[];
constexpr const char* kUserAgent = "Halvex_Service/1.0";
// The "build" member of pairing and authentication requests.
constexpr const char* kBuildName = "native";

}  // namespace halvex
