// A throwaway certificate authority and server certificate, made at test time
// with the OpenSSL C API, so that TLS tests run against real verification
// (chain and host name) instead of switching it off. Nothing is shared
// between calls: each call makes a fresh CA key, so two TestPki values never
// trust each other's certificates.
//
// Any thread may call these functions; they share no state.

#pragma once

#include <optional>
#include <string>
#include <vector>

namespace halvex::testing {

struct TestPki {
  std::string dir;           // fresh mkdtemp folder (0700) holding the files below
  std::string ca_cert_path;  // PEM, the CA clients trust ("ca.pem")
  std::string cert_path;     // PEM server certificate signed by the CA ("server.pem")
  std::string key_path;      // PEM server private key ("server.key", 0600)
};

// Makes a new CA and a server certificate for `names` (EC P-256 keys, SHA-256
// signatures). Each entry that parses as an IPv4 or IPv6 literal becomes an IP
// subjectAltName, every other entry a DNS one. The subject's common name is a
// fixed phrase that is no host name, so only the subjectAltName can match.
// Both certificates are valid from one hour ago to one day from now. The CA
// carries basicConstraints CA:TRUE and keyUsage keyCertSign; the server
// certificate carries extendedKeyUsage serverAuth.
//
// The folder is made under $TMPDIR (or /tmp) and left for remove_test_pki().
//
// On success returns the paths. On failure returns nullopt, sets *error (when
// error is not null) to "context: cause", and leaves no folder behind. An
// empty `names`, or an empty entry in it, is such a failure.
std::optional<TestPki> make_test_pki(const std::vector<std::string>& names,
                                     std::string* error);

// Removes pki.dir and the files in it. Does nothing when pki.dir is empty.
// Failures are ignored: this is clean-up at the end of a test.
void remove_test_pki(const TestPki& pki);

}  // namespace halvex::testing
