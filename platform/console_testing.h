// Test hooks for the console input. Never called by the product.

#pragma once

namespace halvex {

// Makes the next console_init() find signalfd unavailable (ENOSYS), as on
// a kernel or sandbox without it.
void console_fail_signalfd_for_testing();

}  // namespace halvex
