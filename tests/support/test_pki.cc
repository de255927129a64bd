#include "tests/support/test_pki.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <filesystem>
#include <memory>
#include <system_error>

namespace halvex::testing {
namespace {

// One owner type for every OpenSSL handle: unique_ptr with the library's own
// free function.
template <auto FreeFn>
struct OsslFree {
  template <typename T>
  void operator()(T* p) const { FreeFn(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, OsslFree<EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, OsslFree<X509_free>>;
using BioPtr = std::unique_ptr<BIO, OsslFree<BIO_free_all>>;
using BnPtr = std::unique_ptr<BIGNUM, OsslFree<BN_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, OsslFree<X509_EXTENSION_free>>;
using NamesPtr = std::unique_ptr<GENERAL_NAMES, OsslFree<GENERAL_NAMES_free>>;
using NamePtr = std::unique_ptr<GENERAL_NAME, OsslFree<GENERAL_NAME_free>>;
using OctetPtr = std::unique_ptr<ASN1_OCTET_STRING, OsslFree<ASN1_OCTET_STRING_free>>;
using Ia5Ptr = std::unique_ptr<ASN1_IA5STRING, OsslFree<ASN1_IA5STRING_free>>;

constexpr long kBackdateSeconds = 60L * 60;      // tolerate small clock skew
constexpr long kLifetimeSeconds = 24L * 60 * 60;  // far longer than any test run

// Records "context: cause" in *error, where the cause is the oldest entry of
// OpenSSL's error queue (the first thing that went wrong), and empties the
// queue so that a later failure does not report this one.
bool fail(std::string* error, const std::string& context) {
  unsigned long code = ERR_get_error();
  std::string cause = "unknown OpenSSL error";
  if (code != 0) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof(buf));
    cause = buf;
  }
  ERR_clear_error();
  if (error != nullptr) *error = context + ": " + cause;
  return false;
}

bool fail_errno(std::string* error, const std::string& context, int err) {
  if (error != nullptr) *error = context + ": " + strerror(err);
  return false;
}

PkeyPtr make_key(std::string* error) {
  PkeyPtr key(EVP_EC_gen("P-256"));
  if (!key) fail(error, "generate P-256 key");
  return key;
}

bool add_ext(X509* cert, X509V3_CTX* ctx, int nid, const char* value, std::string* error) {
  ExtPtr ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value));
  if (!ext || X509_add_ext(cert, ext.get(), -1) != 1) {
    return fail(error, std::string("add extension ") + OBJ_nid2sn(nid));
  }
  return true;
}

// Builds the subjectAltName list. inet_pton decides what an IP literal is, the
// same rule a client applies before it compares against iPAddress entries.
bool add_subject_alt_names(X509* cert, const std::vector<std::string>& names,
                           std::string* error) {
  NamesPtr gens(GENERAL_NAMES_new());
  if (!gens) return fail(error, "subjectAltName");
  for (const std::string& name : names) {
    unsigned char addr[16];
    int addr_len = 0;
    if (inet_pton(AF_INET, name.c_str(), addr) == 1) {
      addr_len = 4;
    } else if (inet_pton(AF_INET6, name.c_str(), addr) == 1) {
      addr_len = 16;
    }
    NamePtr gen(GENERAL_NAME_new());
    if (!gen) return fail(error, "subjectAltName");
    if (addr_len != 0) {
      OctetPtr ip(ASN1_OCTET_STRING_new());
      if (!ip || ASN1_OCTET_STRING_set(ip.get(), addr, addr_len) != 1) {
        return fail(error, "subjectAltName " + name);
      }
      GENERAL_NAME_set0_value(gen.get(), GEN_IPADD, ip.release());
    } else {
      Ia5Ptr dns(ASN1_IA5STRING_new());
      if (!dns || ASN1_STRING_set(dns.get(), name.data(), static_cast<int>(name.size())) != 1) {
        return fail(error, "subjectAltName " + name);
      }
      GENERAL_NAME_set0_value(gen.get(), GEN_DNS, dns.release());
    }
    if (sk_GENERAL_NAME_push(gens.get(), gen.get()) == 0) {
      return fail(error, "subjectAltName " + name);
    }
    gen.release();  // now owned by gens
  }
  if (X509_add1_ext_i2d(cert, NID_subject_alt_name, gens.get(), 0, X509V3_ADD_DEFAULT) != 1) {
    return fail(error, "add extension subjectAltName");
  }
  return true;
}

// Makes a certificate for `key` named `common_name`. With issuer == nullptr the
// certificate is self-signed with `signing_key` (the CA); otherwise `issuer`
// and `signing_key` are the CA that signs a server certificate for `names`.
X509Ptr make_cert(const std::string& common_name, EVP_PKEY* key, X509* issuer,
                  EVP_PKEY* signing_key, const std::vector<std::string>& names,
                  std::string* error) {
  X509Ptr cert(X509_new());
  if (!cert || X509_set_version(cert.get(), X509_VERSION_3) != 1) {
    fail(error, "new certificate");
    return nullptr;
  }

  // A random serial: two CAs made in the same second must not look alike.
  BnPtr serial(BN_new());
  if (!serial || BN_rand(serial.get(), 127, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY) != 1 ||
      BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) == nullptr) {
    fail(error, "certificate serial");
    return nullptr;
  }

  if (X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kBackdateSeconds) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), kLifetimeSeconds) == nullptr) {
    fail(error, "certificate validity");
    return nullptr;
  }

  X509_NAME* subject = X509_get_subject_name(cert.get());
  const auto* org = reinterpret_cast<const unsigned char*>("Halvex test");
  const auto* cn = reinterpret_cast<const unsigned char*>(common_name.c_str());
  if (X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_UTF8, org, -1, -1, 0) != 1 ||
      X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8, cn, -1, -1, 0) != 1) {
    fail(error, "certificate subject");
    return nullptr;
  }
  X509* signer = issuer != nullptr ? issuer : cert.get();
  if (X509_set_issuer_name(cert.get(), X509_get_subject_name(signer)) != 1 ||
      X509_set_pubkey(cert.get(), key) != 1) {
    fail(error, "certificate issuer");
    return nullptr;
  }

  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, signer, cert.get(), nullptr, nullptr, 0);
  if (issuer == nullptr) {
    if (!add_ext(cert.get(), &ctx, NID_basic_constraints, "critical,CA:TRUE", error) ||
        !add_ext(cert.get(), &ctx, NID_key_usage, "critical,keyCertSign,cRLSign", error) ||
        !add_ext(cert.get(), &ctx, NID_subject_key_identifier, "hash", error)) {
      return nullptr;
    }
  } else {
    if (!add_ext(cert.get(), &ctx, NID_basic_constraints, "critical,CA:FALSE", error) ||
        !add_ext(cert.get(), &ctx, NID_key_usage, "critical,digitalSignature", error) ||
        !add_ext(cert.get(), &ctx, NID_ext_key_usage, "serverAuth", error) ||
        !add_ext(cert.get(), &ctx, NID_subject_key_identifier, "hash", error) ||
        !add_ext(cert.get(), &ctx, NID_authority_key_identifier, "keyid:always", error) ||
        !add_subject_alt_names(cert.get(), names, error)) {
      return nullptr;
    }
  }

  if (X509_sign(cert.get(), signing_key, EVP_sha256()) <= 0) {
    fail(error, "sign certificate " + common_name);
    return nullptr;
  }
  return cert;
}

// PEM text of a certificate (key == nullptr) or of an unencrypted PKCS#8 key.
bool to_pem(X509* cert, EVP_PKEY* key, std::string* out, std::string* error) {
  BioPtr mem(BIO_new(BIO_s_mem()));
  if (!mem) return fail(error, "PEM buffer");
  int ok = cert != nullptr
               ? PEM_write_bio_X509(mem.get(), cert)
               : PEM_write_bio_PrivateKey(mem.get(), key, nullptr, nullptr, 0, nullptr, nullptr);
  if (ok != 1) return fail(error, "write PEM");
  char* data = nullptr;
  long len = BIO_get_mem_data(mem.get(), &data);
  out->assign(data, static_cast<size_t>(len));
  return true;
}

// Creates `path` (which must not exist) with `mode` from the start, so that
// the private key is never readable by others, not even briefly.
bool write_new_file(const std::string& path, const std::string& data, mode_t mode,
                    std::string* error) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) return fail_errno(error, "create " + path, errno);
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      int err = errno;
      close(fd);
      return fail_errno(error, "write " + path, err);
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) return fail_errno(error, "close " + path, errno);
  return true;
}

}  // namespace

std::optional<TestPki> make_test_pki(const std::vector<std::string>& names,
                                     std::string* error) {
  if (names.empty()) {
    if (error != nullptr) *error = "make_test_pki: no names";
    return std::nullopt;
  }
  for (const std::string& name : names) {
    if (name.empty()) {
      if (error != nullptr) *error = "make_test_pki: empty name";
      return std::nullopt;
    }
  }
  ERR_clear_error();  // a stale entry would be reported as our cause

  PkeyPtr ca_key = make_key(error);
  if (!ca_key) return std::nullopt;
  PkeyPtr server_key = make_key(error);
  if (!server_key) return std::nullopt;

  // A unique CA name per call keeps two CAs apart by name as well as by key,
  // so that a client's error reads "unable to get local issuer certificate".
  BnPtr tag(BN_new());
  if (!tag || BN_rand(tag.get(), 64, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1) {
    fail(error, "CA name");
    return std::nullopt;
  }
  char* tag_hex = BN_bn2hex(tag.get());
  if (tag_hex == nullptr) {
    fail(error, "CA name");
    return std::nullopt;
  }
  std::string ca_name = std::string("Halvex test CA ") + tag_hex;
  OPENSSL_free(tag_hex);

  X509Ptr ca = make_cert(ca_name, ca_key.get(), nullptr, ca_key.get(), {}, error);
  if (!ca) return std::nullopt;
  X509Ptr server = make_cert("Halvex test server", server_key.get(), ca.get(), ca_key.get(),
                             names, error);
  if (!server) return std::nullopt;

  std::string ca_pem, server_pem, key_pem;
  if (!to_pem(ca.get(), nullptr, &ca_pem, error) ||
      !to_pem(server.get(), nullptr, &server_pem, error) ||
      !to_pem(nullptr, server_key.get(), &key_pem, error)) {
    return std::nullopt;
  }

  std::error_code ec;
  std::filesystem::path tmp = std::filesystem::temp_directory_path(ec);
  if (ec) tmp = "/tmp";
  std::string templ = (tmp / "halvex-pki-XXXXXX").string();
  if (mkdtemp(templ.data()) == nullptr) {  // mkdtemp makes it 0700
    fail_errno(error, "mkdtemp " + templ, errno);
    return std::nullopt;
  }

  TestPki pki;
  pki.dir = templ;
  pki.ca_cert_path = pki.dir + "/ca.pem";
  pki.cert_path = pki.dir + "/server.pem";
  pki.key_path = pki.dir + "/server.key";
  if (!write_new_file(pki.ca_cert_path, ca_pem, 0644, error) ||
      !write_new_file(pki.cert_path, server_pem, 0644, error) ||
      !write_new_file(pki.key_path, key_pem, 0600, error)) {
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
