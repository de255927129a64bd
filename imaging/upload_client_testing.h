// Test hooks for the upload client. Never called by the product.

#pragma once

#include <cstdint>

namespace halvex {

// Sets the unit of the chunk retry waits (3,000 ms in the product: the
// waits are 1 and 2 units). The WARN lines keep naming the product's waits.
void upload_set_retry_unit_ms_for_testing(uint32_t ms);

}  // namespace halvex
