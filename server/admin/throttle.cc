#include "server/admin/throttle.h"

#include <algorithm>
#include <vector>

namespace halvex::server {

int64_t Throttle::delay_after(int failures) {
  if (failures <= kFreeFailures) return 0;
  // 2^(n-18) s: a few milliseconds at first, 1 s at the 18th failure, 4 s
  // at the 20th, the cap from the 24th on.
  int shift = failures - kFreeFailures;
  if (shift > 30) return kMaxWaitMs;
  int64_t ms = (int64_t{1000} << shift) >> 8;
  return std::min(ms, kMaxWaitMs);
}

int64_t Throttle::wait_ms(const std::string& key, int64_t now_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = keys_.find(key);
  if (it == keys_.end()) return 0;
  return std::max<int64_t>(0, it->second.next_ms - now_ms);
}

int64_t Throttle::failure(const std::string& key, int64_t now_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  return count_failure(key, now_ms);
}

int64_t Throttle::count_failure(const std::string& key, int64_t now_ms) {
  if (keys_.size() >= kMaxKeys && !keys_.count(key)) trim(now_ms);
  Entry& e = keys_[key];
  if (e.failures > 0 && now_ms - e.last_ms > kForgetAfterMs) e = Entry{};
  e.failures++;
  e.last_ms = now_ms;
  int64_t wait = delay_after(e.failures);
  e.next_ms = now_ms + wait;
  return wait;
}

void Throttle::success(const std::string& key) {
  std::lock_guard<std::mutex> lock(mu_);
  keys_.erase(key);
}

int64_t Throttle::begin(const std::vector<std::string>& keys, int64_t now_ms, int64_t* delay_ms) {
  std::lock_guard<std::mutex> lock(mu_);
  int64_t wait = 0;
  for (const std::string& key : keys) {
    auto it = keys_.find(key);
    if (it != keys_.end()) wait = std::max(wait, it->second.next_ms - now_ms);
  }
  if (wait > 0) return wait;
  *delay_ms = 0;
  for (const std::string& key : keys) *delay_ms = std::max(*delay_ms, count_failure(key, now_ms));
  return 0;
}

void Throttle::refund(const std::string& key) {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = keys_.find(key);
  if (it == keys_.end()) return;
  Entry& e = it->second;
  if (--e.failures <= 0) {
    keys_.erase(it);
    return;
  }
  e.next_ms = e.last_ms + delay_after(e.failures);
}

void Throttle::trim(int64_t now_ms) {
  std::erase_if(keys_,
                [now_ms](const auto& kv) { return now_ms - kv.second.last_ms > kForgetAfterMs; });
  if (keys_.size() < kMaxKeys) return;
  // Still full of recent keys: drop the older half.
  std::vector<int64_t> times;
  times.reserve(keys_.size());
  for (const auto& [k, e] : keys_) times.push_back(e.last_ms);
  auto mid = times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2);
  std::nth_element(times.begin(), mid, times.end());
  int64_t cut = *mid;
  std::erase_if(keys_, [cut](const auto& kv) { return kv.second.last_ms <= cut; });
}

}  // namespace halvex::server
