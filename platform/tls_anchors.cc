#include "platform/tls_anchors.h"

#include <mutex>

#include "platform/tls.h"

namespace halvex {

namespace {

std::mutex g_mu;  // guards g_anchors
TlsAnchors g_anchors;

}  // namespace

TlsAnchors tls_current_anchors() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_anchors;
}

void tls_set_ca_file(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_anchors = TlsAnchors{path, ""};
}

void tls_set_ca_pem(const std::string& pem) {
  std::lock_guard<std::mutex> lock(g_mu);
  g_anchors = TlsAnchors{"", pem};
}

std::string tls_ca_file() {
  std::lock_guard<std::mutex> lock(g_mu);
  return g_anchors.ca_file;
}

}  // namespace halvex
