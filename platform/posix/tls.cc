// The process-wide choice of TLS trust anchors, and how it is applied to an
// OpenSSL context.

#include "platform/tls.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>

#include <fstream>
#include <memory>
#include <sstream>

#include "platform/tls_anchors.h"
#include "platform/posix/tls_openssl.h"

namespace halvex {

namespace {

struct StoreDeleter {
  void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
using Store = std::unique_ptr<X509_STORE, StoreDeleter>;

bool read_file(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  *text = out.str();
  return !in.bad();
}

// Adds every certificate of `pem` to `store`; false when there is none.
bool add_pem_certificates(X509_STORE* store, const std::string& pem) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (bio == nullptr) return false;
  int added = 0;
  while (X509* cert = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
    if (X509_STORE_add_cert(store, cert) == 1) added++;
    X509_free(cert);
  }
  BIO_free(bio);
  ERR_clear_error();  // the loop ends on "no start line"
  return added > 0;
}

// The anchors as a store of their own; null with *error on failure.
Store make_store(const TlsAnchors& anchors, std::string* error) {
  Store store(X509_STORE_new());
  if (!store) {
    *error = "cannot make a certificate store";
    return nullptr;
  }
  if (anchors.ca_file.empty() && anchors.ca_pem.empty()) {
    if (X509_STORE_set_default_paths(store.get()) != 1) {
      *error = "cannot load the system trust store";
      return nullptr;
    }
    return store;
  }
  std::string pem = anchors.ca_pem;
  if (!anchors.ca_file.empty() && !read_file(anchors.ca_file, &pem)) {
    *error = "cannot read CA file " + anchors.ca_file;
    return nullptr;
  }
  if (!add_pem_certificates(store.get(), pem)) {
    *error = anchors.ca_file.empty() ? "no certificate in the built-in CA"
                                     : "no certificate in CA file " + anchors.ca_file;
    return nullptr;
  }
  return store;
}

}  // namespace

bool tls_apply_trust(SSL_CTX* ctx, std::string* error) {
  Store store = make_store(tls_current_anchors(), error);
  if (!store) return false;
  // The peer is checked against the verify store when there is one, so a
  // library that installs its own certificate store on the context later
  // (libcurl 7.88 loads its CA bundle after the context callback) cannot
  // widen the trust.
  if (SSL_CTX_set1_verify_cert_store(ctx, store.get()) != 1) {
    *error = "cannot set the certificate store";
    return false;
  }
  SSL_CTX_set_cert_store(ctx, store.release());  // the context owns it now
  return true;
}

}  // namespace halvex
