// The work queue between the stages of an imaging job (reader, encoder,
// uploader): a bounded, blocking first-in-first-out queue of image parts.
// Its small capacity is what bounds a job's memory: a stage that runs ahead
// blocks in push() until the next stage pops.
//
// Threads: any number of threads may push and pop; an imaging job uses one
// producer and one consumer per queue. Neither operation has a time limit.
// Termination rests on the end marker (a null part): the producer pushes it
// last and the consumer pops until it sees it, also after a cancel, so every
// consumer drains its queue and no producer stays blocked.
//
// Ownership: a part belongs to whichever stage holds it; push() hands it to
// the queue and pop() hands it to the caller.

#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "imaging/part_buffer.h"

namespace halvex {

// One part of an image, as it travels from stage to stage.
struct ImagingPart {
  PartBuffer bytes;                   // raw, or hximg-encoded after the encoder
  uint64_t length = 0;                // bytes in `bytes`
  int32_t part_number = 0;            // the number sent to the server
  int32_t total_parts = 0;            // sent to the server as "total_parts"
  uint64_t uncompressed_size = 0;     // the raw length of the part
  std::optional<std::string> format;  // none for raw bytes, "hximg" after encoding
  // Raw parts only: blocks of kHximgBlockSize the reader left unwritten in
  // `bytes` because the source holds zeros there (a hole); empty when none.
  std::vector<bool> zero_blocks;
};

class PartQueue {
 public:
  // A queue with `capacity` empty slots, or null when the slots cannot be
  // allocated or capacity < 1 (a queue without a slot would block its first
  // push forever).
  static std::unique_ptr<PartQueue> create(int32_t capacity);

  // Parts still queued are freed with the queue. REQUIRES: no thread is
  // inside push() or pop().
  ~PartQueue() = default;

  PartQueue(const PartQueue&) = delete;
  PartQueue& operator=(const PartQueue&) = delete;

  // Appends `part` (null: the end marker), first waiting while the queue is
  // full. Wakes one waiting pop().
  void push(std::unique_ptr<ImagingPart> part);

  // Takes the oldest entry, first waiting while the queue is empty. A null
  // result is the end marker. Wakes one waiting push().
  std::unique_ptr<ImagingPart> pop();

  int32_t capacity() const { return capacity_; }

 private:
  PartQueue(std::unique_ptr<std::unique_ptr<ImagingPart>[]> slots, int32_t capacity)
      : slots_(std::move(slots)), capacity_(capacity) {}

  std::mutex mu_;
  std::condition_variable not_full_;
  std::condition_variable not_empty_;
  const std::unique_ptr<std::unique_ptr<ImagingPart>[]> slots_;
  const int32_t capacity_;
  int32_t count_ = 0;        // guarded by mu_
  int32_t read_index_ = 0;   // guarded by mu_
  int32_t write_index_ = 0;  // guarded by mu_
};

}  // namespace halvex
