// Test hooks for the drone link. Never called by the product.

#pragma once

#include <chrono>
#include <string>

namespace halvex {

// The folder searched for serial ports in later connection attempts
// (normally the platform's device folder).
void dji_set_port_dir_for_testing(const std::string& dir);

// Waits until no connection attempt and no reader thread is running.
// False when `timeout` passed first.
bool dji_wait_idle_for_testing(std::chrono::milliseconds timeout);

// Puts the link record back to its start values (vendor id, probe text,
// counters), closing whatever it still holds. REQUIRES: idle.
void dji_reset_for_testing();

}  // namespace halvex
