// A test-only host for the agent: the same service_main as halvex-service,
// with the server, CA file, data folder and instance name given on the
// command line, and the reconnect and scan upload waits optionally scaled
// down.
//
//   service_host --host localhost:PORT --ca CA.pem --data DIR
//                [--instance NAME] [--time-scale PERCENT]
//                [--read-faults OFFSET:LENGTH[:ERRNO[:TIMES]],...]

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/pairing_testing.h"
#include "core/service.h"
#include "platform/block_file_testing.h"
#include "scan/scan_job_testing.h"

int main(int argc, char** argv) {
  halvex::ServiceOptions options;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string flag = argv[i];
    const char* value = argv[i + 1];
    if (flag == "--host") options.server_host = value;
    else if (flag == "--ca") options.ca_file = value;
    else if (flag == "--data") options.data_dir = value;
    else if (flag == "--instance") options.instance_name = value;
    else if (flag == "--time-scale") {
      halvex::pairing_set_time_scale_for_testing(std::atoi(value));
      halvex::scan_set_time_scale_for_testing(std::atoi(value));
    }
    else if (flag == "--read-faults") {
      std::vector<halvex::BlockFault> faults;
      if (!halvex::block_file_testing_parse(value, &faults)) {
        std::fprintf(stderr, "service_host: bad --read-faults %s\n", value);
        return 2;
      }
      halvex::block_file_testing_set_faults(faults);
    }
    else {
      std::fprintf(stderr, "service_host: unknown option %s\n", argv[i]);
      return 2;
    }
  }
  int code = halvex::service_main(options);
  std::fflush(nullptr);
  std::_Exit(code);
}
