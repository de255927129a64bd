// Test hooks for the WebSocket client. Never called by the product.

#pragma once

#include <cstdint>

namespace halvex {

// Shortens the heartbeat interval (20,000 ms in the product) for later runs.
void ws_set_heartbeat_interval_ms_for_testing(uint32_t ms);

}  // namespace halvex
