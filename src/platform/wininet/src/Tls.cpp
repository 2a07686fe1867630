// TLS policy: certificates are checked against the system store (and the
// host's extra trust anchors); the security flags forgive exactly the
// certificate errors they name (worker thread, and OpenSSL's callbacks on it).
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include "Firewall.h"
#include "Transfer.h"

namespace qmxinet {
namespace {

int SecurityIndex() {
  static int idx = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return idx;
}

int VerifyCallback(int ok, X509_STORE_CTX* store) {
  if (ok) return 1;
  SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  if (!ssl) return 0;
  uintptr_t flags = reinterpret_cast<uintptr_t>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), SecurityIndex()));
  bool forgive = false;
  switch (X509_STORE_CTX_get_error(store)) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_UNTRUSTED:
      forgive = flags & SECURITY_FLAG_IGNORE_UNKNOWN_CA;
      break;
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
      forgive = flags & SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
      break;
    case X509_V_ERR_INVALID_PURPOSE:
      forgive = flags & SECURITY_FLAG_IGNORE_WRONG_USAGE;
      break;
    default:
      break;
  }
  if (!forgive) return 0;
  X509_STORE_CTX_set_error(store, X509_V_OK);
  return 1;
}

CURLcode SslCtxCallback(CURL*, void* sslctx, void* ud) {
  SSL_CTX* ctx = static_cast<SSL_CTX*>(sslctx);
  if (SecurityIndex() < 0 || SSL_CTX_set_ex_data(ctx, SecurityIndex(), ud) != 1) return CURLE_SSL_CERTPROBLEM;
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, VerifyCallback);
  return CURLE_OK;
}

}  // namespace

void ConfigureTls(Transfer* t, DWORD flags, DWORD secFlags) {
  CURL* e = t->m_easy;
  secFlags |= flags & (INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID);
  MustSet(curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L));
  MustSet(curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, (secFlags & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) ? 0L : 2L));
  std::string trusted = TrustedCertificates();
  if (!trusted.empty()) {
    MustSet(curl_easy_setopt(e, CURLOPT_CAINFO, trusted.c_str()));
    MustSet(curl_easy_setopt(e, CURLOPT_CAPATH, "/etc/ssl/certs"));
  }
  DWORD relaxed = secFlags & (SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                              SECURITY_FLAG_IGNORE_WRONG_USAGE | SECURITY_FLAG_IGNORE_CERT_CN_INVALID);
  if (t->m_https && relaxed) {
    t->m_relaxed = true;
    MustSet(curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, SslCtxCallback));
    MustSet(curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, reinterpret_cast<void*>(static_cast<uintptr_t>(relaxed))));
    // A connection accepted under relaxed checks is never handed to a
    // strict request, and no TLS session of it is resumed.
    MustSet(curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L));
    MustSet(curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L));
    MustSet(curl_easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L));
  }
}

}  // namespace qmxinet
