// The whole agent process: start-up, the console tray on the calling (main)
// thread until Exit, and shutdown. `halvex-service` calls it with the server
// fixed at build time; a test host may pass another server, CA file and data
// folder.

#pragma once

#include <string>

namespace halvex {

struct ServiceOptions {
  std::string server_host;  // "host[:port]" of the recovery server
  std::string data_dir;     // empty: the platform's data folder
  std::string ca_file;      // empty: the system trust store
  std::string instance_name = "Global\\HalvexServiceNative";
};

// Runs the agent; returns the process exit code (0 on every path, also when
// another instance holds the machine).
int service_main(const ServiceOptions& options);

// The tray's menu command handler.
void tray_on_command(int command);

}  // namespace halvex
