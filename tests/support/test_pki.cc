// The test PKI is the reference server's own (server/pki), made in a fresh
// private folder: tests trust exactly what a real server would present.

#include "tests/support/test_pki.h"

#include <stdlib.h>

#include <filesystem>
#include <system_error>

#include "server/net/pki.h"

namespace halvex::testing {

std::optional<TestPki> make_test_pki(const std::vector<std::string>& names, std::string* error) {
  std::string ignored;
  if (error == nullptr) error = &ignored;
  if (names.empty()) {
    *error = "make_test_pki: no names";
    return std::nullopt;
  }
  for (const std::string& name : names) {
    if (name.empty()) {
      *error = "make_test_pki: empty name";
      return std::nullopt;
    }
  }
  std::string tmpl = (std::filesystem::temp_directory_path() / "halvex-pki-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) {
    *error = "make_test_pki: mkdtemp failed";
    return std::nullopt;
  }
  TestPki pki{tmpl, tmpl + "/ca.pem", tmpl + "/server.pem", tmpl + "/server.key"};
  server::PkiFiles files{pki.ca_cert_path, tmpl + "/ca.key", pki.cert_path, pki.key_path};
  if (!server::make_pki(files, names, error)) {
    remove_test_pki(pki);
    return std::nullopt;
  }
  return pki;
}

void remove_test_pki(const TestPki& pki) {
  if (pki.dir.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(pki.dir, ec);
}

}  // namespace halvex::testing
