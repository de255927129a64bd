// halvex-service: the agent. It takes no options; the server is fixed when
// it is built (the SERVER_HOST cache variable), and so is a pinned server
// CA (SERVER_CA_FILE). The platform's entry file calls agent_main().

#include <cstdio>
#include <cstdlib>

#include "platform/entry.h"
#include "platform/tls.h"
#include "service/server_ca.h"
#include "service/service.h"

namespace halvex {

int agent_main() {
  // A build with SERVER_CA_FILE trusts only that CA.
  if (kServerCaPem[0] != '\0') tls_set_ca_pem(kServerCaPem);
  ServiceOptions options;
  options.server_host = HALVEX_SERVER_HOST;
  int code = service_main(options);
  // Connection and worker threads may still be running: end the process
  // without running static destructors under them.
  std::fflush(nullptr);
  std::_Exit(code);
}

}  // namespace halvex
