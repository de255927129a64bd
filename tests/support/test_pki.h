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

// Makes a new CA and a server certificate for `names` in a fresh folder
// under $TMPDIR (or /tmp), with the reference server's own certificate code:
// IP literals become IP subjectAltNames, every other entry a DNS one, and the
// certificate carries extendedKeyUsage serverAuth.
//
// On success returns the paths. On failure returns nullopt, sets *error (when
// error is not null) to "context: cause", and leaves no folder behind. An
// empty `names`, or an empty entry in it, is such a failure.
std::optional<TestPki> make_test_pki(const std::vector<std::string>& names, std::string* error);

// Removes pki.dir and the files in it. Does nothing when pki.dir is empty.
// Failures are ignored: this is clean-up at the end of a test.
void remove_test_pki(const TestPki& pki);

}  // namespace halvex::testing
