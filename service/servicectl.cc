// halvex-servicectl: the tray's commands for an agent that runs as a
// service. It sends one command to the agent's control socket and prints
// the answer; the exit code is 0 when the agent answered "ok".
//
//   halvex-servicectl [--data DIR] login|dashboard|disconnect|exit|status
//
// The agent's data folder is the one the agent itself uses for this user
// (for root: /var/lib/halvex-service-native); --data names another.

#include <cstdio>
#include <string>

#include "platform/local_socket.h"
#include "platform/system.h"
#include "service/control.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: halvex-servicectl [--data DIR] login|dashboard|disconnect|exit|status\n");
  return 2;
}

// Prints the agent's answer line by line as it comes (login's lines come
// minutes apart). 0 on "ok", 1 on "error: ..." or a connection that ends
// without either.
int print_answer(int fd) {
  std::string pending;
  char buffer[4096];
  for (;;) {
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
      std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      if (line == "ok") return 0;
      if (line.rfind("error: ", 0) == 0) {
        std::fprintf(stderr, "halvex-servicectl: %s\n", line.c_str() + 7);
        return 1;
      }
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
    }
    int n = halvex::local_read(fd, buffer, sizeof buffer, -1);
    if (n <= 0) {
      std::fprintf(stderr,
                   "halvex-servicectl: the agent closed the connection without an answer\n");
      return 1;
    }
    pending.append(buffer, static_cast<size_t>(n));
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string data_dir;
  int i = 1;
  if (argc == 4 && std::string(argv[1]) == "--data") {
    data_dir = argv[2];
    i = 3;
  }
  if (argc != i + 1) return usage();
  std::string command = argv[i];
  if (!halvex::control_parse(command)) return usage();
  if (data_dir.empty()) data_dir = halvex::system_app_data_dir();

  std::string error;
  std::optional<int> fd = halvex::local_connect(halvex::control_socket_path(data_dir), &error);
  if (!fd) {
    std::fprintf(stderr, "halvex-servicectl: no agent answers (%s)\n", error.c_str());
    return 1;
  }
  int code = halvex::local_write(*fd, command + "\n") ? print_answer(*fd) : 1;
  halvex::local_close(*fd);
  return code;
}
