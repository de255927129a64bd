// Test hooks of core/thread.h: failures that a test cannot bring about for
// real without starving the whole test process. Never called by the product.

#pragma once

namespace halvex {

// The next run_guarded() body under `tag` (thread bodies and inline
// sections alike) throws std::bad_alloc as it begins, as if its first
// allocation had failed. Each call arms one failure; tags compare exactly.
void thread_testing_fail_next_body(const char* tag);

// The next thread_start() or thread_start_joinable() under `tag` fails as if
// the system had refused the thread.
void thread_testing_fail_next_start(const char* tag);

}  // namespace halvex
