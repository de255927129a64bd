// Test hooks of the imaging job.

#pragma once

#include <cstdint>

#include "platform/disks.h"

namespace halvex {

// Moves the device trees a disk job resolves "disk_id" in.
void imaging_testing_set_device_roots(const DeviceRoots& roots);

// The buffer for part `part_number` of every later job "runs out" of
// memory; 0 turns this off.
void imaging_testing_fail_part_alloc(int32_t part_number);

// True when no job thread is running (none started, or the last ended).
bool imaging_testing_idle();

}  // namespace halvex
