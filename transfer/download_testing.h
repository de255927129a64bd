// Test hooks for downloads. Never called by the product.

#pragma once

namespace halvex {

// Clears the cancel flag, as the next "start_download_job" would. Tests
// that run download_job directly call it between jobs.
void download_clear_cancel_for_testing();

}  // namespace halvex
