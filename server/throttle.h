// Counts failed attempts (wrong passwords, unknown pairing codes) per key,
// such as "user:alice" or "addr:192.0.2.7", and says how long the next
// attempt of that key must wait. The first failures are free; past those
// the wait doubles with every failure up to a cap, so a guesser gets a few
// tries quickly and then one a minute. A key without a failure for
// kForgetAfter is forgotten.
//
// Threads: every method may be called from any thread; one mutex guards
// the table. The table holds at most kMaxKeys keys: when full, the keys
// whose last failure is oldest are dropped first.

#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace halvex::server {

class Throttle {
 public:
  static constexpr int kFreeFailures = 10;
  static constexpr int64_t kMaxWaitMs = 60 * 1000;
  static constexpr int64_t kForgetAfterMs = 15 * 60 * 1000;
  static constexpr size_t kMaxKeys = 100000;

  // Milliseconds until `key` may try again at `now_ms`; 0 when it may now.
  int64_t wait_ms(const std::string& key, int64_t now_ms);
  // Counts a failure of `key` at `now_ms`; returns how long its next
  // attempt must wait (the caller also holds back this answer as long).
  int64_t failure(const std::string& key, int64_t now_ms);
  // A success forgets the key's failures.
  void success(const std::string& key);

  // The wait after `failures` failures.
  static int64_t delay_after(int failures);

 private:
  struct Entry {
    int failures = 0;
    int64_t last_ms = 0;
    int64_t next_ms = 0;  // no attempt before this
  };
  void trim(int64_t now_ms);  // mu_ held

  std::mutex mu_;
  std::map<std::string, Entry> keys_;
};

}  // namespace halvex::server
