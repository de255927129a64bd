// Test hook: makes reads of chosen byte ranges of chosen sources fail, the
// way a failing disk does, so the recovery paths above BlockFile run for
// real. A read that overlaps a fault range fails with its error; a fault
// whose error means the device is gone still fails only its range;
// the layer above stops at the first such error.

#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace halvex {

struct BlockFault {
  std::string path;      // the source as opened; "" matches every source
  uint64_t offset = 0;   // first failing byte
  uint64_t length = 0;   // failing bytes
  int error_number = 5;  // errno of the failure (EIO)
  int times = -1;        // failures before the range reads again; -1 forever
};

// Replaces the fault table (empty: no faults).
void block_file_testing_set_faults(const std::vector<BlockFault>& faults);

// Parses "OFFSET:LENGTH[:ERRNO[:TIMES]],..." (decimal) into faults for
// every source; false when malformed. Used by the test host's option.
bool block_file_testing_parse(const std::string& text, std::vector<BlockFault>* faults);

}  // namespace halvex
