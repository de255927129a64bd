#include "server/net/body_budget.h"

namespace halvex::server::net {

bool BodyBudget::take(uint64_t bytes) {
  uint64_t held = held_.load();
  do {
    if (bytes > limit_ || held > limit_ - bytes) return false;
  } while (!held_.compare_exchange_weak(held, held + bytes));
  return true;
}

bool BodyLease::take(BodyBudget& budget, uint64_t bytes) {
  release();
  if (!budget.take(bytes)) return false;
  budget_ = &budget;
  bytes_ = bytes;
  return true;
}

void BodyLease::release() {
  if (budget_ == nullptr) return;
  budget_->give_back(bytes_);
  budget_ = nullptr;
  bytes_ = 0;
}

}  // namespace halvex::server::net
