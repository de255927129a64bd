// The clock on std::chrono, with the test time scale and wait observer.

#include "platform/clock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/clock_testing.h"

namespace halvex {
namespace {

std::atomic<double> g_percent{100.0};
std::mutex g_observer_mu;  // guards g_observer; takes no other lock
std::function<void(uint32_t)> g_observer;

}  // namespace

int64_t clock_now_ms() {
  auto since = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
}

void sleep_ms(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

uint32_t clock_scaled_ms(uint32_t ms) {
  double percent = g_percent.load();
  if (percent == 100.0) return ms;
  double scaled = static_cast<double>(ms) * std::max(percent, 0.0) / 100.0;
  return static_cast<uint32_t>(std::min(scaled, static_cast<double>(UINT32_MAX)));
}

void clock_wait_ms(uint32_t ms) {
  {
    std::lock_guard<std::mutex> lock(g_observer_mu);
    if (g_observer) g_observer(ms);
  }
  sleep_ms(clock_scaled_ms(ms));
}

void clock_set_time_scale_for_testing(double percent) { g_percent.store(percent); }

void clock_set_wait_observer_for_testing(std::function<void(uint32_t ms)> observe) {
  std::lock_guard<std::mutex> lock(g_observer_mu);
  g_observer = std::move(observe);
}

}  // namespace halvex
