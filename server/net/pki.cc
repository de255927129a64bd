#include "server/net/pki.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace halvex::server {
namespace {

template <auto FreeFn>
struct OsslFree {
  template <typename T>
  void operator()(T* p) const {
    FreeFn(p);
  }
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

constexpr long kDay = 24L * 60 * 60;

// "context: cause", the cause being the first entry of OpenSSL's queue.
bool fail(std::string* error, const std::string& context) {
  unsigned long code = ERR_get_error();
  char buf[256] = "unknown OpenSSL error";
  if (code != 0) ERR_error_string_n(code, buf, sizeof buf);
  ERR_clear_error();
  *error = context + ": " + buf;
  return false;
}

bool add_ext(X509* cert, X509V3_CTX* ctx, int nid, const char* value, std::string* error) {
  ExtPtr ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value));
  if (!ext || X509_add_ext(cert, ext.get(), -1) != 1)
    return fail(error, std::string("extension ") + OBJ_nid2sn(nid));
  return true;
}

bool add_alt_names(X509* cert, const std::vector<std::string>& names, std::string* error) {
  NamesPtr gens(GENERAL_NAMES_new());
  if (!gens) return fail(error, "subjectAltName");
  for (const std::string& name : names) {
    unsigned char addr[16];
    int len = inet_pton(AF_INET, name.c_str(), addr) == 1    ? 4
              : inet_pton(AF_INET6, name.c_str(), addr) == 1 ? 16
                                                             : 0;
    NamePtr gen(GENERAL_NAME_new());
    if (!gen) return fail(error, "subjectAltName " + name);
    if (len != 0) {
      OctetPtr ip(ASN1_OCTET_STRING_new());
      if (!ip || ASN1_OCTET_STRING_set(ip.get(), addr, len) != 1)
        return fail(error, "subjectAltName " + name);
      GENERAL_NAME_set0_value(gen.get(), GEN_IPADD, ip.release());
    } else {
      Ia5Ptr dns(ASN1_IA5STRING_new());
      if (!dns || ASN1_STRING_set(dns.get(), name.data(), static_cast<int>(name.size())) != 1)
        return fail(error, "subjectAltName " + name);
      GENERAL_NAME_set0_value(gen.get(), GEN_DNS, dns.release());
    }
    if (sk_GENERAL_NAME_push(gens.get(), gen.get()) == 0)
      return fail(error, "subjectAltName " + name);
    gen.release();
  }
  if (X509_add1_ext_i2d(cert, NID_subject_alt_name, gens.get(), 0, X509V3_ADD_DEFAULT) != 1)
    return fail(error, "extension subjectAltName");
  return true;
}

// An unsigned certificate for `key` named `cn`, issued by `issuer`, or
// self-issued when issuer is null.
X509Ptr make_cert(EVP_PKEY* key, const char* cn, X509* issuer, long days, std::string* error) {
  X509Ptr cert(X509_new());
  if (!cert) return fail(error, "new certificate"), nullptr;
  unsigned char serial[16];
  BnPtr bn;
  if (RAND_bytes(serial, sizeof serial) != 1) return fail(error, "certificate serial"), nullptr;
  serial[0] &= 0x7f;  // positive
  bn.reset(BN_bin2bn(serial, sizeof serial, nullptr));
  if (!bn || !BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert.get())) ||
      X509_set_version(cert.get(), 2) != 1 ||
      !X509_gmtime_adj(X509_getm_notBefore(cert.get()), -kDay) ||
      !X509_gmtime_adj(X509_getm_notAfter(cert.get()), days * kDay) ||
      X509_set_pubkey(cert.get(), key) != 1)
    return fail(error, std::string("certificate ") + cn), nullptr;
  X509_NAME* name = X509_get_subject_name(cert.get());
  if (X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>("Halvex recovery server"),
                                 -1, -1, 0) != 1 ||
      X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                 reinterpret_cast<const unsigned char*>(cn), -1, -1, 0) != 1)
    return fail(error, std::string("certificate name ") + cn), nullptr;
  if (X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name) != 1)
    return fail(error, std::string("certificate issuer ") + cn), nullptr;
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
  bool ok =
      issuer
          ? add_ext(cert.get(), &ctx, NID_basic_constraints, "critical,CA:FALSE", error) &&
                add_ext(cert.get(), &ctx, NID_key_usage,
                        "critical,digitalSignature,keyEncipherment", error) &&
                add_ext(cert.get(), &ctx, NID_ext_key_usage, "serverAuth", error) &&
                add_ext(cert.get(), &ctx, NID_subject_key_identifier, "hash", error) &&
                add_ext(cert.get(), &ctx, NID_authority_key_identifier, "keyid:always", error)
          : add_ext(cert.get(), &ctx, NID_basic_constraints, "critical,CA:TRUE", error) &&
                add_ext(cert.get(), &ctx, NID_key_usage, "critical,keyCertSign,cRLSign", error) &&
                add_ext(cert.get(), &ctx, NID_subject_key_identifier, "hash", error);
  if (!ok) return nullptr;
  return cert;
}

bool sign(X509* cert, EVP_PKEY* key, std::string* error) {
  if (X509_sign(cert, key, EVP_sha256()) == 0) return fail(error, "sign certificate");
  return true;
}

// Creates `path` (must not exist) with `mode` and writes what `write` puts
// into a memory BIO.
template <typename Fn>
bool write_pem(const std::string& path, mode_t mode, Fn write, std::string* error) {
  BioPtr mem(BIO_new(BIO_s_mem()));
  if (!mem || !write(mem.get())) return fail(error, "encode " + path);
  char* data = nullptr;
  long len = BIO_get_mem_data(mem.get(), &data);
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    *error = "create " + path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = true;
  for (long off = 0; ok && off < len;) {
    ssize_t n = ::write(fd, data + off, static_cast<size_t>(len - off));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      ok = false;
    else
      off += n;
  }
  int saved = errno;
  if (::close(fd) != 0 && ok) ok = false, saved = errno;
  if (!ok) *error = "write " + path + ": " + std::strerror(saved);
  return ok;
}

}  // namespace

bool make_pki(const PkiFiles& files, const std::vector<std::string>& names, std::string* error) {
  ERR_clear_error();
  PkeyPtr ca_key(EVP_EC_gen("P-256"));
  PkeyPtr server_key(EVP_EC_gen("P-256"));
  if (!ca_key || !server_key) return fail(error, "generate P-256 key");
  X509Ptr ca = make_cert(ca_key.get(), "Halvex recovery server CA", nullptr, 3650, error);
  if (!ca || !sign(ca.get(), ca_key.get(), error)) return false;
  X509Ptr server = make_cert(server_key.get(), names.empty() ? "localhost" : names[0].c_str(),
                             ca.get(), 1825, error);
  if (!server || !add_alt_names(server.get(), names, error) ||
      !sign(server.get(), ca_key.get(), error))
    return false;
  return write_pem(
             files.ca_key, 0600,
             [&](BIO* b) {
               return PEM_write_bio_PrivateKey(b, ca_key.get(), nullptr, nullptr, 0, nullptr,
                                               nullptr) == 1;
             },
             error) &&
         write_pem(
             files.ca_cert, 0644, [&](BIO* b) { return PEM_write_bio_X509(b, ca.get()) == 1; },
             error) &&
         write_pem(
             files.server_key, 0600,
             [&](BIO* b) {
               return PEM_write_bio_PrivateKey(b, server_key.get(), nullptr, nullptr, 0, nullptr,
                                               nullptr) == 1;
             },
             error) &&
         write_pem(
             files.server_cert, 0644,
             [&](BIO* b) { return PEM_write_bio_X509(b, server.get()) == 1; }, error);
}

}  // namespace halvex::server
