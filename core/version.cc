// The agent's version, set by the build (SERVICE_VERSION cache variable).
// Nothing else lives in this file: the linker takes it from halvex_core only
// when the executable has no definition of its own.

#include "core/version.h"

namespace halvex {

const char SERVICE_VERSION[] = HALVEX_SERVICE_VERSION;

}  // namespace halvex
