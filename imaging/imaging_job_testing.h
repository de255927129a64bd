// Test hooks of the imaging job.

#pragma once

#include "platform/disks.h"

namespace halvex {

// Moves the device trees a disk job resolves "disk_id" in.
void imaging_testing_set_device_roots(const DeviceRoots& roots);

// True when no job thread is running (none started, or the last ended).
bool imaging_testing_idle();

}  // namespace halvex
