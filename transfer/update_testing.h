// Test hooks for the self-update. Never called by the product.

#pragma once

#include <string>

namespace halvex {

// The program that runs the hand-over script ("" in the product: the
// system's own). A path that does not exist makes the hand-over fail.
void update_set_shell_for_testing(const std::string& path);

}  // namespace halvex
