// The agent's one clock: what time it is (a monotonic count of
// milliseconds) and how long the agent waits. Every product wait that a test
// wants shorter goes through clock_wait_ms or clock_scaled_ms, so one time
// scale (clock_testing.h) shortens them all, and a test can see each wait
// the agent asks for, in product milliseconds, without timing anything.
//
// std::chrono serves both operating systems: one portable file, no posix/
// or win32/ side.
//
// Threads: any; the functions keep no state besides the test settings.

#pragma once

#include <cstdint>

namespace halvex {

// Milliseconds since an unspecified start; never goes back.
int64_t clock_now_ms();

// Sleeps `ms` milliseconds as asked, whatever the time scale: short polls and
// settle pauses whose length no test needs to change.
void sleep_ms(uint32_t ms);

// A product duration `ms` as this process waits it: `ms` in the product, the
// test time scale's share of it in tests.
uint32_t clock_scaled_ms(uint32_t ms);

// Waits the product duration `ms`, scaled (clock_scaled_ms). Tests see each
// call's `ms` through their wait observer.
void clock_wait_ms(uint32_t ms);

}  // namespace halvex
