// A throw-away certificate for the simulator's TLS mode: a P-256 key and a
// self-signed certificate for the listening address, made in memory at start.
#ifndef QMX_SITESIM_SELFSIGNEDCERT_H
#define QMX_SITESIM_SELFSIGNEDCERT_H

#include <string>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace sitesim {

class SelfSignedCert {
 public:
  SelfSignedCert() = default;
  ~SelfSignedCert();
  // Makes the key and the certificate (subject and alternative name: host
  // and localhost), valid from an hour ago for 30 days.
  bool Make(const std::string& host, std::string& error);
  X509* Certificate() const { return m_cert; }
  EVP_PKEY* Key() const { return m_key; }

 private:
  SelfSignedCert(const SelfSignedCert&) = delete;
  SelfSignedCert& operator=(const SelfSignedCert&) = delete;
  X509* m_cert = nullptr;
  EVP_PKEY* m_key = nullptr;
};

}  // namespace sitesim

#endif
