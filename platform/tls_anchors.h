// The trust anchors set through tls.h, shared by both TLS implementations
// (posix/tls.cc on OpenSSL, win32/tls.cc on CNG). Not for use outside
// platform/.
//
// Threads: any; the setters in tls.h and tls_current_anchors() take one lock.

#pragma once

#include <string>

namespace halvex {

// What is pinned: nothing (the system store), a CA file, or PEM text.
struct TlsAnchors {
  std::string ca_file;
  std::string ca_pem;
  bool pinned() const { return !ca_file.empty() || !ca_pem.empty(); }
};

// A copy of what tls_set_ca_file() or tls_set_ca_pem() set last.
TlsAnchors tls_current_anchors();

}  // namespace halvex
