// The extra trust anchors are read when they are set: a file that holds no
// certificate is refused at once, not at every later handshake.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "qmxloopback/LoopbackServer.h"
#include "qmxwininet_ext.h"
#include "wininet.h"

namespace {

TEST(TrustedFile, OnlyAFileWithACertificateIsTaken) {
  qmxloopback::LoopbackServer tls(qmxloopback::ServerOptions{true});
  ASSERT_TRUE(tls.Start());
  char junk[] = "/tmp/qmx-trusted-XXXXXX";
  const int fd = mkstemp(junk);
  ASSERT_GE(fd, 0);
  const char text[] = "-----BEGIN CERTIFICATE-----\nnot base64 at all\n-----END CERTIFICATE-----\nplain text\n";
  ASSERT_EQ(static_cast<ssize_t>(sizeof text - 1), write(fd, text, sizeof text - 1));
  close(fd);
  const std::string pem = tls.CertificateFile();
  const std::string missing = std::string(junk) + ".missing";
  struct Row {
    const char* name;
    const char* path;
    DWORD error;  // 0: taken
  } rows[] = {
      {"pem", pem.c_str(), 0},
      {"not pem", junk, ERROR_INVALID_DATA},
      {"missing", missing.c_str(), ERROR_FILE_NOT_FOUND},
      {"none", nullptr, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetLastError(0);
    EXPECT_EQ(row.error == 0, QmxInternetSetTrustedCertificates(row.path) != FALSE);
    if (row.error) {
      EXPECT_EQ(row.error, GetLastError());
    }
  }
  unlink(junk);
  tls.Stop();
}

}  // namespace
