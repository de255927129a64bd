// The server's own certificate authority, made once by `init`: a CA whose
// certificate clients trust, and a server certificate it signs for the
// names the server answers to.
//
// Any thread; no shared state.

#pragma once

#include <string>
#include <vector>

namespace halvex::server {

struct PkiFiles {
  std::string ca_cert;      // PEM, what clients trust
  std::string ca_key;       // PEM, 0600
  std::string server_cert;  // PEM, the server's chain (its certificate)
  std::string server_key;   // PEM, 0600
};

// Makes an EC P-256 CA (ten years) and a server certificate (five years,
// serverAuth) whose subjectAltNames are `names`: IP literals become iPAddress
// entries, everything else dNSName. Writes the four files, each created new
// (an existing file is an error). On failure sets *error ("context: cause").
bool make_pki(const PkiFiles& files, const std::vector<std::string>& names, std::string* error);

}  // namespace halvex::server
