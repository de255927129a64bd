// Test hooks for pairing, reconnect and watchdog. Never called by the
// product.

#pragma once

namespace halvex {

// Scales every wait of pairing, reconnect and watchdog to `percent` of its
// product value (100). Tests use 10 or less.
void pairing_set_time_scale_for_testing(int percent);

}  // namespace halvex
