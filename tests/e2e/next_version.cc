// The next-version test agent's version. Linked before halvex_core, it
// takes the place of core/version.cc's definition.

#include "core/version.h"

namespace halvex {

const char SERVICE_VERSION[] = HALVEX_NEXT_VERSION;

}  // namespace halvex
