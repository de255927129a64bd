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
#include <vector>

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

  // Starts an attempt of all `keys` at `now_ms` under one lock. When one of
  // them must still wait, returns that wait and counts nothing. Otherwise
  // counts the attempt as a failure of every key before its outcome is
  // known, so attempts that run side by side (a password check takes a
  // while) cannot all slip through the same free moment; returns 0 and
  // sets *delay_ms to how long to hold back the answer if it fails.
  int64_t begin(const std::vector<std::string>& keys, int64_t now_ms, int64_t* delay_ms);
  // Takes back the failure begin() counted for `key`, the attempt having
  // succeeded.
  void refund(const std::string& key);

  // The wait after `failures` failures.
  static int64_t delay_after(int failures);

 private:
  struct Entry {
    int failures = 0;
    int64_t last_ms = 0;
    int64_t next_ms = 0;  // no attempt before this
  };
  int64_t count_failure(const std::string& key, int64_t now_ms);  // mu_ held
  void trim(int64_t now_ms);                                      // mu_ held

  std::mutex mu_;
  std::map<std::string, Entry> keys_;
};

}  // namespace halvex::server
