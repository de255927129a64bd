#include "server/uploads/ingest_pool.h"

namespace halvex::server {

IngestPool::IngestPool(int threads) {
  for (int i = 0; i < threads; i++) threads_.emplace_back([this] { run(); });
}

IngestPool::~IngestPool() { stop(); }

bool IngestPool::submit(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopping_) return false;
    queue_.push_back(std::move(task));
  }
  wake_.notify_one();
  return true;
}

void IngestPool::wait_idle() {
  std::unique_lock<std::mutex> lock(mu_);
  idle_.wait(lock, [this] { return (queue_.empty() || stopping_) && running_ == 0; });
}

void IngestPool::stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
    queue_.clear();
  }
  wake_.notify_all();
  for (std::thread& t : threads_)
    if (t.joinable()) t.join();
  idle_.notify_all();
}

void IngestPool::run() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    std::function<void()> task = std::move(queue_.front());
    queue_.pop_front();
    running_++;
    lock.unlock();
    task();
    task = nullptr;  // what it holds goes before the pool counts it done
    lock.lock();
    running_--;
    if (queue_.empty() && running_ == 0) idle_.notify_all();
  }
}

}  // namespace halvex::server
