// The framework's description of an HTTP proxy: where it is, how to log in at
// it and what kind it is. The module exports every member (inline, emitted
// from its shared library); it does not use the record for its own requests.
#ifndef QMX_HTTPCLI_RTHTTPPROXYINFO_H
#define QMX_HTTPCLI_RTHTTPPROXYINFO_H

#include <stdint.h>

#include "qmxframework.h"

// Default visibility on the class and on every inline member, so that the
// members stay exported even under -fvisibility-inlines-hidden; "used" makes
// each translation unit that includes this header emit them.
#define QMX_PROXYINFO_API __attribute__((visibility("default")))
#define QMX_PROXYINFO_INLINE __attribute__((visibility("default"), used))

class QMX_PROXYINFO_API CRtHttpProxyInfo : public CReferenceControl {
 public:
  enum PROXY_TYPE {
    PROXY_TYPE_NONE = 0,
    PROXY_TYPE_HTTP = 1,
    PROXY_TYPE_HTTPS = 2,
    PROXY_TYPE_SOCKS4 = 3,
    PROXY_TYPE_SOCKS5 = 4,
  };

  QMX_PROXYINFO_INLINE CRtHttpProxyInfo() : m_port(0), m_bFirstTryWithoutUserName(0), m_proxyType(PROXY_TYPE_NONE) {}
  QMX_PROXYINFO_INLINE CRtHttpProxyInfo(const CRtString& aHostName, unsigned short aPort,
                                        PROXY_TYPE aType = PROXY_TYPE_HTTP, const CRtString& aUserName = CRtString(),
                                        const CRtString& aPasswd = CRtString(),
                                        const CRtString& aAuthScheme = CRtString(), int aFirstTryWithoutUserName = 0)
      : m_userName(aUserName),
        m_passwd(aPasswd),
        m_authScheme(aAuthScheme),
        m_hostName(aHostName),
        m_port(aPort),
        m_bFirstTryWithoutUserName(aFirstTryWithoutUserName),
        m_proxyType(aType) {}
  // Carries the other record's reference count, not a fresh one.
  QMX_PROXYINFO_INLINE CRtHttpProxyInfo(const CRtHttpProxyInfo& o)
      : CReferenceControl(o),
        m_userName(o.m_userName),
        m_passwd(o.m_passwd),
        m_authScheme(o.m_authScheme),
        m_hostName(o.m_hostName),
        m_port(o.m_port),
        m_bFirstTryWithoutUserName(o.m_bFirstTryWithoutUserName),
        m_proxyType(o.m_proxyType) {}
  QMX_PROXYINFO_INLINE CRtHttpProxyInfo& operator=(const CRtHttpProxyInfo& o) {
    m_dwReference.exchange(o.m_dwReference.load());
    m_userName = o.m_userName;
    m_passwd = o.m_passwd;
    m_authScheme = o.m_authScheme;
    m_hostName = o.m_hostName;
    m_port = o.m_port;
    m_bFirstTryWithoutUserName = o.m_bFirstTryWithoutUserName;
    m_proxyType = o.m_proxyType;
    return *this;
  }
  QMX_PROXYINFO_INLINE virtual ~CRtHttpProxyInfo() {}

  QMX_PROXYINFO_INLINE CRtString GetHostName() const { return m_hostName; }
  QMX_PROXYINFO_INLINE unsigned short GetPort() const { return m_port; }
  QMX_PROXYINFO_INLINE CRtString GetUserNameA() const { return m_userName; }
  QMX_PROXYINFO_INLINE void SetUserName(const CRtString& aUserName) { m_userName = aUserName; }
  QMX_PROXYINFO_INLINE CRtString GetPasswd() const { return m_passwd; }
  QMX_PROXYINFO_INLINE void SetPasswd(const CRtString& aPasswd) { m_passwd = aPasswd; }
  QMX_PROXYINFO_INLINE CRtString GetAuthScheme() const { return m_authScheme; }
  QMX_PROXYINFO_INLINE void SetAuthScheme(const CRtString& aAuthScheme) { m_authScheme = aAuthScheme; }
  QMX_PROXYINFO_INLINE PROXY_TYPE GetProxyType() const { return m_proxyType; }
  QMX_PROXYINFO_INLINE int IsFirstTryWithoutUserName() const { return m_bFirstTryWithoutUserName; }
  // Called once the attempt without a user name was made.
  QMX_PROXYINFO_INLINE void SetFirstTryedWithoutUserName() { m_bFirstTryWithoutUserName = 0; }

 private:
  CRtString m_userName;
  CRtString m_passwd;
  CRtString m_authScheme;
  CRtString m_hostName;
  unsigned short m_port;
  int32_t m_bFirstTryWithoutUserName;
  PROXY_TYPE m_proxyType;
};

#endif
