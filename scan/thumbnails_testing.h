// Test hooks for the video thumbnails. Never called by the product.

#pragma once

#include <string>
#include <vector>

namespace halvex {

// Replaces the fixed places searched after the executable's folder and
// PATH (program_system_places), taken as admin-only places, so that a
// machine with ffmpeg installed can test the search without it.
void thumb_set_system_ffmpeg_for_testing(const std::vector<std::string>& paths);

// Forgets the ffmpeg path remembered by earlier runs.
void thumb_forget_ffmpeg_for_testing();

}  // namespace halvex
