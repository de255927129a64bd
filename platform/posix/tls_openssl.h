// The one place where the trust chosen in platform/tls.h becomes OpenSSL
// anchors. The WebSocket transport and the HTTP client (through libcurl's
// context callback) both call it for every connection they set up, so the
// two can never trust different certificates.
//
// Threads: any; each call builds a store of its own.

#pragma once

#include <openssl/ssl.h>

#include <string>

namespace halvex {

// Gives `ctx` a new certificate store holding the chosen anchors, as its
// store and as its verify store (which takes precedence over any store set
// later). False with *error when the anchors cannot be
// loaded (an unreadable or empty CA file, PEM text without a certificate);
// the context must then not be used.
bool tls_apply_trust(SSL_CTX* ctx, std::string* error);

}  // namespace halvex
