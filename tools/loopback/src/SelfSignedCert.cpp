// See SelfSignedCert.h.
#include "qmxloopback/SelfSignedCert.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>

namespace qmxloopback {

namespace {

bool IsIpAddress(const std::string& host) {
  in_addr a4;
  in6_addr a6;
  return inet_pton(AF_INET, host.c_str(), &a4) == 1 || inet_pton(AF_INET6, host.c_str(), &a6) == 1;
}

void AddNameEntry(X509_NAME* name, const char* field, const std::string& value) {
  X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC, reinterpret_cast<const unsigned char*>(value.c_str()), -1, -1,
                             0);
}

}  // namespace

SelfSignedCert::~SelfSignedCert() {
  X509_free(m_cert);
  EVP_PKEY_free(m_key);
}

bool SelfSignedCert::Make(const CertificateRequest& request, std::string& error) {
  X509_free(m_cert);
  EVP_PKEY_free(m_key);
  m_key = EVP_EC_gen("P-256");
  m_cert = X509_new();
  if (!m_key || !m_cert) {
    error = "out of memory or no EC support";
    return false;
  }
  X509_set_version(m_cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(m_cert), request.serial);
  X509_gmtime_adj(X509_getm_notBefore(m_cert), request.notBefore);
  X509_gmtime_adj(X509_getm_notAfter(m_cert), request.notAfter);
  X509_set_pubkey(m_cert, m_key);
  X509_NAME* name = X509_get_subject_name(m_cert);
  if (!request.organization.empty()) AddNameEntry(name, "O", request.organization);
  std::string cn = request.commonName;
  if (cn.empty()) cn = request.hosts.empty() ? "loopback" : request.hosts[0];
  AddNameEntry(name, "CN", cn);
  X509_set_issuer_name(m_cert, name);

  std::string san;
  for (const std::string& h : request.hosts) {
    if (!san.empty()) san += ",";
    san += (IsIpAddress(h) ? "IP:" : "DNS:") + h;
  }
  if (!san.empty()) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, m_cert, m_cert, nullptr, nullptr, 0);
    if (X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, san.c_str())) {
      X509_add_ext(m_cert, ext, -1);
      X509_EXTENSION_free(ext);
    }
  }
  if (X509_sign(m_cert, m_key, EVP_sha256()) == 0) {
    char buf[256];
    ERR_error_string_n(ERR_get_error(), buf, sizeof(buf));
    error = buf;
    return false;
  }
  return true;
}

}  // namespace qmxloopback
