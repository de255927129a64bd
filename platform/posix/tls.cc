// The process-wide choice of TLS trust anchors.

#include "platform/tls.h"

#include <mutex>

namespace halvex {

namespace {
std::mutex g_mu;
std::string g_ca_file;
}  // namespace

void tls_set_ca_file(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_ca_file = path;
}

std::string tls_ca_file() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_ca_file;
}

}  // namespace halvex
