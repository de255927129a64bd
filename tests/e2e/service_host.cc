// A test-only host for the agent: the same service_main as halvex-service,
// with the server, CA file, data folder and instance name given on the
// command line, and the agent's waits optionally scaled down (one clock:
// reconnect, watchdog, upload retries, heartbeats, ffmpeg's time limit).
//
//   service_host --host localhost:PORT --ca CA.pem --data DIR
//                [--instance NAME] [--time-scale PERCENT]
//                [--read-faults OFFSET:LENGTH[:ERRNO[:TIMES]],...]
//
// Started without arguments, it takes them from SERVICE_HOST_ARGS, one per
// line: an installer starts the agent with none, and a test host that an
// update installed finds its server there (the environment reaches it
// through the hand-over script and the installer).

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/service.h"
#include "platform/block_file_testing.h"
#include "platform/clock_testing.h"

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

}  // namespace

int main(int argc, char** argv) {
  halvex::ServiceOptions options;
  std::vector<std::string> args = arguments(argc, argv);
  for (size_t i = 0; i + 1 < args.size(); i += 2) {
    const std::string& flag = args[i];
    const char* value = args[i + 1].c_str();
    if (flag == "--host") options.server_host = value;
    else if (flag == "--ca") options.ca_file = value;
    else if (flag == "--data") options.data_dir = value;
    else if (flag == "--instance") options.instance_name = value;
    else if (flag == "--time-scale") halvex::clock_set_time_scale_for_testing(std::atoi(value));
    else if (flag == "--read-faults") {
      std::vector<halvex::BlockFault> faults;
      if (!halvex::block_file_testing_parse(value, &faults)) {
        std::fprintf(stderr, "service_host: bad --read-faults %s\n", value);
        return 2;
      }
      halvex::block_file_testing_set_faults(faults);
    }
    else {
      std::fprintf(stderr, "service_host: unknown option %s\n", flag.c_str());
      return 2;
    }
  }
  int code = halvex::service_main(options);
  std::fflush(nullptr);
  std::_Exit(code);
}
