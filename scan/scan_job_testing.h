// Test hooks for the remote scan. Never called by the product.

#pragma once

namespace halvex {

// Scales the waits between upload attempts (5 s, then 10 s in the product)
// to `percent` of their product value (100). Tests use 10 or less.
void scan_set_time_scale_for_testing(int percent);

}  // namespace halvex
