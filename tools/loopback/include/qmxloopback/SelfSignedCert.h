// A throw-away TLS identity for the test servers: a P-256 key and a
// self-signed certificate for the names they listen under, made in memory.
// Used by the loopback server and the conference-site simulator.
#ifndef QMXLOOPBACK_SELFSIGNEDCERT_H
#define QMXLOOPBACK_SELFSIGNEDCERT_H

#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

namespace qmxloopback {

struct CertificateRequest {
  // The alternative names, each an IP address (v4 or v6) or a DNS name by
  // its form; none: no alternative-name extension. The first is also the
  // subject's common name ("loopback" when there is none).
  std::vector<std::string> hosts;
  // The subject's organisation; empty: none.
  std::string organization;
  long serial = 1;
  // Validity, in seconds from now: by default from an hour ago for 30 days.
  // Both negative make an expired certificate.
  long notBefore = -3600;
  long notAfter = 30L * 24 * 3600;
};

class SelfSignedCert {
 public:
  SelfSignedCert() = default;
  ~SelfSignedCert();
  // Makes the key and the certificate; false with a reason in error.
  bool Make(const CertificateRequest& request, std::string& error);
  // Owned by this object; null before a successful Make.
  X509* Certificate() const { return m_cert; }
  EVP_PKEY* Key() const { return m_key; }

 private:
  SelfSignedCert(const SelfSignedCert&) = delete;
  SelfSignedCert& operator=(const SelfSignedCert&) = delete;
  X509* m_cert = nullptr;
  EVP_PKEY* m_key = nullptr;
};

}  // namespace qmxloopback

#endif
