// A test-only host for the agent: the same service_main as halvex-service,
// with the server, CA file, data folder and instance name given on the
// command line, and the agent's waits optionally scaled down (one clock:
// reconnect, watchdog, upload retries, heartbeats, ffmpeg's time limit).
//
//   service_host --host localhost:PORT --ca CA.pem --data DIR
//                [--instance NAME] [--time-scale PERCENT]
//                [--read-faults OFFSET:LENGTH[:ERRNO[:TIMES]],...]
//                [--menu-from-stdin 1]
//
// --menu-from-stdin: standard input's lines "login", "dashboard",
// "disconnect" and "exit" are posted to the tray as the menu's commands.
// The Windows tray is an icon with no console, so the tests under wine
// choose its menu entries this way. Not for Linux: the console reads
// standard input itself, and its signal set-up wants no thread started
// before it.
//
// Started without arguments, it takes them from SERVICE_HOST_ARGS, one per
// line: an installer starts the agent with none, and a test host that an
// update installed finds its server there (the environment reaches it
// through the hand-over script and the installer).

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/block_file_testing.h"
#include "platform/clock_testing.h"
#include "service/service.h"
#include "service/tray.h"

namespace {

std::vector<std::string> arguments(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const char* env = std::getenv("SERVICE_HOST_ARGS");
  if (!args.empty() || env == nullptr) return args;
  std::string text = env;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    args.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return args;
}

// Posts each known line of standard input as a menu command, until the
// input ends. Detached: it may still wait for input when the agent exits.
void post_menu_commands_from_stdin() {
  std::thread([] {
    std::setvbuf(stdin, nullptr, _IONBF, 0);
    char line[64];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
      std::string command(line, std::strcspn(line, "\r\n"));
      if (command == "login")
        halvex::tray_post_command(halvex::kTrayLogin);
      else if (command == "dashboard")
        halvex::tray_post_command(halvex::kTrayDashboard);
      else if (command == "disconnect")
        halvex::tray_post_command(halvex::kTrayDisconnect);
      else if (command == "exit")
        halvex::tray_post_command(halvex::kTrayExit);
    }
  }).detach();
}

}  // namespace

int main(int argc, char** argv) {
  // The tests read this output as it comes.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  halvex::ServiceOptions options;
  std::vector<std::string> args = arguments(argc, argv);
  for (size_t i = 0; i + 1 < args.size(); i += 2) {
    const std::string& flag = args[i];
    const char* value = args[i + 1].c_str();
    if (flag == "--host")
      options.server_host = value;
    else if (flag == "--ca")
      options.ca_file = value;
    else if (flag == "--data")
      options.data_dir = value;
    else if (flag == "--instance")
      options.instance_name = value;
    else if (flag == "--time-scale")
      halvex::clock_set_time_scale_for_testing(std::atoi(value));
    else if (flag == "--menu-from-stdin") {
      if (std::strcmp(value, "1") == 0) post_menu_commands_from_stdin();
    } else if (flag == "--read-faults") {
      std::vector<halvex::BlockFault> faults;
      if (!halvex::block_file_testing_parse(value, &faults)) {
        std::fprintf(stderr, "service_host: bad --read-faults %s\n", value);
        return 2;
      }
      halvex::block_file_testing_set_faults(faults);
    } else {
      std::fprintf(stderr, "service_host: unknown option %s\n", flag.c_str());
      return 2;
    }
  }
  int code = halvex::service_main(options);
  std::fflush(nullptr);
  std::_Exit(code);
}
