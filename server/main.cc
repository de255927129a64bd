// recovery-server: the reference recovery server and its admin tools.

#include <string>
#include <vector>

#include "server/cli/cli.h"

int main(int argc, char** argv) {
  return halvex::server::cli_main(std::vector<std::string>(argv + 1, argv + argc));
}
