// The workers that do the slow half of an image upload: decoding a part
// into the image, syncing it, hashing it. A chunk's request only writes its
// bytes and, for a part's last chunk, queues the rest here; that reply
// waits for the part's decoding (not for hashing a part out of turn), and
// the network threads never wait at all.
//
// Tasks run in the order queued, on a fixed set of threads. Everything a
// task leaves undone is on disk in a state the server takes up again when
// it starts (Uploads resumes it), so stop() may drop queued tasks.
//
// Threads: submit() and wait_idle() from any thread; stop() (and the
// destructor) from the owner, not from a task.

#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace halvex::server {

class IngestPool {
 public:
  explicit IngestPool(int threads);
  ~IngestPool();
  IngestPool(const IngestPool&) = delete;
  IngestPool& operator=(const IngestPool&) = delete;

  // Queues `task`; false once stopping (the task is dropped).
  bool submit(std::function<void()> task);
  // Waits until no task is queued or running.
  void wait_idle();
  // Drops the queued tasks, waits for the running ones, ends the threads.
  // Later calls do nothing.
  void stop();

 private:
  void run();

  std::mutex mu_;
  std::condition_variable wake_, idle_;
  std::deque<std::function<void()>> queue_;
  int running_ = 0;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};

}  // namespace halvex::server
