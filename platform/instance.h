// One agent per machine: a process-wide name held for the life of the
// process. On Windows it is a named kernel mutex. Here it is an exclusive
// flock on a lock file in the agent's data folder: the root agent's folder
// belongs to root, so no other local user can take the name first (a name
// in a shared namespace, such as an abstract socket, can be bound by anyone
// and would keep the real agent from starting). Either way the system
// releases it when the process ends, however it ends.

#pragma once

#include <string>

namespace halvex {

// Takes `name` for this process. `data_dir` is the agent's data folder,
// which must exist; the lock file "<name>.lock" lives there, with every
// character of `name` other than letters, digits, '.', '-' and '_' written
// as '_' (Windows ignores the folder). False if another process holds the
// name, or it can't be taken for another reason. Never released explicitly.
bool instance_try_acquire(const char* name, const std::string& data_dir);

}  // namespace halvex
