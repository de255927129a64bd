// The process-wide choice of TLS trust anchors, and how it is checked for a
// WinHTTP request: a pinned CA becomes the only root of a chain engine of
// its own, and the server's chain is built and checked against that engine.

#include "platform/tls.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/tls_anchors.h"
#include "platform/win32/text.h"
#include "platform/win32/tls_winhttp.h"

namespace halvex {

namespace {

bool read_file(const std::string& path, std::string* text) {
  std::ifstream in(std::filesystem::path(win32::to_wide_path(path)), std::ios::binary);
  if (!in) return false;
  std::ostringstream out;
  out << in.rdbuf();
  *text = out.str();
  return !in.bad();
}

class CertStore {
 public:
  CertStore()
      : h_(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr)) {}
  ~CertStore() {
    if (h_ != nullptr) CertCloseStore(h_, 0);
  }
  CertStore(const CertStore&) = delete;
  CertStore& operator=(const CertStore&) = delete;
  HCERTSTORE get() const { return h_; }

 private:
  HCERTSTORE h_;
};

// Adds every certificate of `pem` to `store`; false when there is none.
bool add_pem_certificates(HCERTSTORE store, const std::string& pem) {
  static const char kBegin[] = "-----BEGIN CERTIFICATE-----";
  static const char kEnd[] = "-----END CERTIFICATE-----";
  int added = 0;
  size_t pos = 0;
  while ((pos = pem.find(kBegin, pos)) != std::string::npos) {
    size_t end = pem.find(kEnd, pos);
    if (end == std::string::npos) break;
    end += sizeof kEnd - 1;
    std::string block = pem.substr(pos, end - pos);
    pos = end;
    DWORD der_len = 0;
    if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                              CRYPT_STRING_BASE64HEADER, nullptr, &der_len, nullptr, nullptr)) {
      continue;
    }
    std::string der(der_len, '\0');
    if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                              CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(der.data()),
                              &der_len, nullptr, nullptr)) {
      continue;
    }
    if (CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                         reinterpret_cast<const BYTE*>(der.data()), der_len,
                                         CERT_STORE_ADD_ALWAYS, nullptr)) {
      added++;
    }
  }
  return added > 0;
}

// Loads the pinned anchors into `store`; false with *error.
bool load_anchors(const TlsAnchors& anchors, HCERTSTORE store, std::string* error) {
  if (store == nullptr) {
    *error = "cannot make a certificate store";
    return false;
  }
  std::string pem = anchors.ca_pem;
  if (!anchors.ca_file.empty() && !read_file(anchors.ca_file, &pem)) {
    *error = "cannot read CA file " + anchors.ca_file;
    return false;
  }
  if (!add_pem_certificates(store, pem)) {
    *error = anchors.ca_file.empty() ? "no certificate in the built-in CA"
                                     : "no certificate in CA file " + anchors.ca_file;
    return false;
  }
  return true;
}

std::string hex(DWORD value) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08lx", static_cast<unsigned long>(value));
  return buf;
}

// Why a chain was refused, in words where the reason is a common one.
std::string chain_problem(DWORD trust_errors, DWORD policy_error) {
  if (policy_error == static_cast<DWORD>(CERT_E_CN_NO_MATCH)) return "host name mismatch";
  if (trust_errors & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN))
    return "unable to get local issuer certificate";
  if (trust_errors & CERT_TRUST_IS_NOT_TIME_VALID)
    return "certificate has expired or is not yet valid";
  if (trust_errors & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return "certificate signature failure";
  if (trust_errors != 0) return "chain status " + hex(trust_errors);
  return "policy status " + hex(policy_error);
}

// The chain of `cert` built by an engine whose only root is the pinned CA,
// then the SSL policy for `host`. Both the policy and the chain itself must
// be clean: a policy check alone can pass a chain that never reached a root.
bool verify_against(HCERTSTORE roots, PCCERT_CONTEXT cert, const std::wstring& host,
                    std::string* why) {
  CERT_CHAIN_ENGINE_CONFIG config{};
  // Only up to the exclusive root: some implementations refuse the size of
  // the whole structure, and nothing after it is needed.
  config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags);
  config.hExclusiveRoot = roots;
  HCERTCHAINENGINE engine = nullptr;
  if (!CertCreateCertificateChainEngine(&config, &engine)) {
    *why = "cannot make a chain engine: " + win32::error_text(GetLastError());
    return false;
  }
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  bool built =
      CertGetCertificateChain(engine, cert, nullptr, cert->hCertStore, &para, 0, nullptr, &chain);
  bool ok = false;
  if (!built) {
    *why = "cannot build the chain: " + win32::error_text(GetLastError());
  } else {
    SSL_EXTRA_CERT_CHAIN_POLICY_PARA extra{};
    extra.cbSize = sizeof extra;
    extra.dwAuthType = AUTHTYPE_SERVER;
    extra.pwszServerName = const_cast<wchar_t*>(host.c_str());
    CERT_CHAIN_POLICY_PARA policy{};
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &extra;
    CERT_CHAIN_POLICY_STATUS status{};
    status.cbSize = sizeof status;
    bool checked = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status);
    DWORD trust_errors = chain->TrustStatus.dwErrorStatus;
    ok = checked && status.dwError == 0 && trust_errors == 0;
    if (!ok)
      *why =
          checked ? chain_problem(trust_errors, status.dwError) : "cannot check the chain policy";
    CertFreeCertificateChain(chain);
  }
  CertFreeCertificateChainEngine(engine);
  return ok;
}

}  // namespace

namespace win32 {

bool tls_prepare_request(HINTERNET request, std::string* error) {
  TlsAnchors anchors = tls_current_anchors();
  if (!anchors.pinned()) return true;
  // Fail before anything is sent when the anchors cannot be loaded.
  CertStore store;
  if (!load_anchors(anchors, store.get(), error)) return false;
  // WinHTTP would refuse a root that is not in the system store; the chain
  // to the pinned CA is checked by tls_check_peer instead. Name and dates
  // stay WinHTTP's to check as well.
  DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
  if (!WinHttpSetOption(request, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags)) {
    *error = "cannot set the security flags: " + error_text(GetLastError());
    return false;
  }
  return true;
}

bool tls_check_peer(HINTERNET request, const std::wstring& host, DWORD* code, std::string* error) {
  TlsAnchors anchors = tls_current_anchors();
  if (!anchors.pinned()) return true;
  *code = ERROR_WINHTTP_SECURE_INVALID_CA;
  CertStore store;
  std::string why;
  if (!load_anchors(anchors, store.get(), &why)) {
    *error = why;
    return false;
  }
  PCCERT_CONTEXT cert = nullptr;
  DWORD size = sizeof cert;
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &cert, &size) ||
      cert == nullptr) {
    *code = GetLastError();
    *error = "certificate verify failed: no server certificate";
    return false;
  }
  bool ok = verify_against(store.get(), cert, host, &why);
  CertFreeCertificateContext(cert);
  if (!ok) *error = "certificate verify failed: " + why;
  return ok;
}

}  // namespace win32
}  // namespace halvex
