// Test hooks for the clock. Never called by the product.

#pragma once

#include <cstdint>
#include <functional>

namespace halvex {

// Scales every product wait (clock_scaled_ms, clock_wait_ms) to `percent` of
// its product value (100). 0 makes them all immediate; fractions serve
// waits of many seconds that a test wants in milliseconds.
void clock_set_time_scale_for_testing(double percent);

// Calls `observe` with the product milliseconds of every clock_wait_ms,
// on the waiting thread, before it sleeps. An empty function stops it.
void clock_set_wait_observer_for_testing(std::function<void(uint32_t ms)> observe);

}  // namespace halvex
