// The events a job hands its EventSink, kept in order as "name {d}" lines
// (the payload printed unformatted), for comparing whole sequences.
// Header-only, so the Windows tests have it too. Any thread may send; the
// test thread reads.

#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "core/json.h"
#include "transfer/fetch.h"

namespace halvex::testing {

class EventRecorder {
 public:
  EventSink sink() {
    return [this](const char* name, Json data) {
      std::lock_guard<std::mutex> lock(mu_);
      lines_.push_back(std::string(name) + " " + json_print(data.get()));
      cv_.notify_all();
    };
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }
  // Waits until `count` events have arrived (or a minute passed); all so far.
  std::vector<std::string> wait_for(size_t count) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(60), [&] { return lines_.size() >= count; });
    return lines_;
  }
  // The payloads of the events named `name`.
  std::vector<std::string> texts(const std::string& name) {
    std::vector<std::string> out;
    for (const std::string& line : lines())
      if (line.compare(0, name.size() + 1, name + " ") == 0)
        out.push_back(line.substr(name.size() + 1));
    return out;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
};

}  // namespace halvex::testing
