// One agent per machine: a process-wide name held for the life of the
// process (an abstract Unix socket here, a named mutex on Windows). The
// system releases it when the process ends, however it ends.

#pragma once

namespace halvex {

// Takes `name` for this process. False if another process holds it (or it
// can't be taken for another reason). Never released explicitly.
bool instance_try_acquire(const char* name);

}  // namespace halvex
