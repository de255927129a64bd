// Which certificates the agent trusts for TLS: one set of anchors for the
// WebSocket link, the uploads and the downloads, whichever library makes
// the connection.
//
// By default that is the system trust store (Windows: the one WinHTTP
// uses). On Linux, as OpenSSL finds it: its
// default CA bundle and hashed certificate folder, where the environment
// variables SSL_CERT_FILE and SSL_CERT_DIR, when set, replace the bundle and
// the folder. A pinned CA replaces the system store entirely: only
// certificates issued by it are accepted. The agent's build can embed the
// server's CA (the SERVER_CA_FILE build option) and pins it at start-up;
// tests and the demo pin the reference server's CA by file.
// Verification itself is never switched off.
//
// Threads: any. The choice is read when each connection is set up, so it
// should be made before the first connection.

#pragma once

#include <string>

namespace halvex {

// Pins the CA certificate(s) in the PEM file at `path`; the file is read
// for each new connection, and a connection fails when it cannot be read.
// Empty restores the system trust store.
void tls_set_ca_file(const std::string& path);

// Pins the CA certificate(s) given as PEM text (the embedded server CA).
// Empty text restores the system trust store.
void tls_set_ca_pem(const std::string& pem);

// The CA file set above, or empty when none is set.
std::string tls_ca_file();

}  // namespace halvex
