// halvex-service: the agent. It takes no options; the server is fixed when
// it is built (the SERVER_HOST cache variable).

#include <cstdio>
#include <cstdlib>

#include "core/service.h"

int main() {
  halvex::ServiceOptions options;
  options.server_host = HALVEX_SERVER_HOST;
  int code = halvex::service_main(options);
  // Connection and worker threads may still be running: end the process
  // without running static destructors under them.
  std::fflush(nullptr);
  std::_Exit(code);
}
