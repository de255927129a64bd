// Helpers shared by the fuzz targets. Targets run single-threaded under
// libFuzzer; these are called from LLVMFuzzerInitialize.

#pragma once

#include <string>

namespace halvex::fuzz {

// A private (0700) scratch folder made with mkdtemp, preferring /dev/shm so
// that the fsync of each configuration save stays cheap. It and its contents
// are removed when the process exits normally. Aborts if none can be made:
// a target without its folder would test nothing.
std::string make_temp_dir(const char* tag);

// Stops the fuzzer with a message on standard error when `ok` is false.
void check(bool ok, const char* what);

}  // namespace halvex::fuzz
