// See SelfSignedCert.h.
#include "qmxloopback/SelfSignedCert.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>

namespace qmxloopback {

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
  const std::string cn = request.hosts.empty() ? "loopback" : request.hosts[0];
  for (const auto& [field, value] : {std::make_pair("O", request.organization), std::make_pair("CN", cn)})
    if (!value.empty())
      X509_NAME_add_entry_by_txt(name, field, MBSTRING_ASC, reinterpret_cast<const unsigned char*>(value.c_str()), -1,
                                 -1, 0);
  X509_set_issuer_name(m_cert, name);

  // Alternative names: an IP entry for what parses as an address, else DNS.
  std::string san;
  for (const std::string& h : request.hosts) {
    unsigned char addr[16];
    const bool ip = inet_pton(AF_INET, h.c_str(), addr) == 1 || inet_pton(AF_INET6, h.c_str(), addr) == 1;
    san += (san.empty() ? "" : ",") + std::string(ip ? "IP:" : "DNS:") + h;
  }
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, m_cert, m_cert, nullptr, nullptr, 0);
  if (X509_EXTENSION* ext =
          san.empty() ? nullptr : X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, san.c_str())) {
    X509_add_ext(m_cert, ext, -1);
    X509_EXTENSION_free(ext);
  }
  if (X509_sign(m_cert, m_key, EVP_sha256()) == 0) {
    error = ERR_error_string(ERR_get_error(), nullptr);
    return false;
  }
  return true;
}

}  // namespace qmxloopback
