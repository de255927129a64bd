// The fault table of block_file_testing.h as each platform's BlockFile
// consults it before a read. Internal to platform/.

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace halvex {

// Applies the fault table to a read of [offset, offset + *length) of
// `path`: returns the error number the read fails with, or 0, and may cut
// *length short so the read stops before damage further on.
int block_fault_injected(const std::string& path, uint64_t sector, uint64_t offset, size_t* length);

// True when the fault table holds a live fault for `path`.
bool block_faults_set(const std::string& path);

}  // namespace halvex
