// The server's CA certificate built into the agent with the SERVER_CA_FILE
// build option (cmake/embed_ca.cmake generates its definition). When it is
// not empty, start-up pins it (tls_set_ca_pem) and the agent trusts no
// other CA, for the link, the uploads and the downloads alike.

#pragma once

namespace halvex {

// PEM text, NUL-terminated; empty when the build embeds no CA.
extern const char kServerCaPem[];

}  // namespace halvex
