// Which certificates the agent trusts for TLS. By default the system trust
// store (OpenSSL's default verify paths, which honour SSL_CERT_FILE); a host
// program for tests or a private deployment may name a CA file instead.
// Verification itself is never switched off.

#pragma once

#include <string>

namespace halvex {

// Sets the CA bundle used by every later TLS connection. Empty restores the
// system trust store. Call before the first connection.
void tls_set_ca_file(const std::string& path);

// The CA file set above, or empty for the system trust store.
std::string tls_ca_file();

}  // namespace halvex
