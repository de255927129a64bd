// Waiting in tests for something another thread or process brings about:
// `pred` is asked again every few milliseconds until it holds or `timeout`
// has passed, and asked once more at the end, so a slow machine only waits
// longer and never fails a condition that came true at the last moment.
//
// Header-only; any thread may call it.

#pragma once

#include <chrono>
#include <thread>

namespace halvex::testing {

template <class Pred>
bool eventually(Pred pred, std::chrono::steady_clock::duration timeout = std::chrono::seconds(15),
                std::chrono::milliseconds poll = std::chrono::milliseconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return pred();
    std::this_thread::sleep_for(poll);
  }
  return true;
}

}  // namespace halvex::testing
