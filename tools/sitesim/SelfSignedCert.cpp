#include "SelfSignedCert.h"

#include <openssl/err.h>
#include <openssl/x509v3.h>

namespace sitesim {

SelfSignedCert::~SelfSignedCert() {
  X509_free(m_cert);
  EVP_PKEY_free(m_key);
}

bool SelfSignedCert::Make(const std::string& host, std::string& error) {
  m_key = EVP_EC_gen("P-256");
  m_cert = X509_new();
  if (!m_key || !m_cert) {
    error = "out of memory or no EC support";
    return false;
  }
  X509_set_version(m_cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(m_cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(m_cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(m_cert), 30L * 24 * 3600);
  X509_set_pubkey(m_cert, m_key);
  X509_NAME* name = X509_get_subject_name(m_cert);
  X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, (const unsigned char*)"sitesim", -1, -1, 0);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char*)host.c_str(), -1, -1, 0);
  X509_set_issuer_name(m_cert, name);

  const bool isIp = host.find_first_not_of("0123456789.") == std::string::npos;
  const std::string san = (isIp ? "IP:" : "DNS:") + host + ",DNS:localhost";
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, m_cert, m_cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, san.c_str());
  if (ext) {
    X509_add_ext(m_cert, ext, -1);
    X509_EXTENSION_free(ext);
  }
  if (X509_sign(m_cert, m_key, EVP_sha256()) == 0) {
    char buf[256];
    ERR_error_string_n(ERR_get_error(), buf, sizeof(buf));
    error = buf;
    return false;
  }
  return true;
}

}  // namespace sitesim
