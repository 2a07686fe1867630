#include "RequestItem.h"

#include <ctype.h>
#include <string.h>

#include <new>

#include "qmxcrt.h"

namespace {

// One counter for the process, touched on the owner thread only.
DWORD s_requestKey = 0;

const char kFormContentType[] = "Content-Type:   application/x-www-form-urlencoded\r\n";
const size_t kLongObjectName = 2048;

}  // namespace

CRequestItem::CRequestItem(const CRtString& aObjectName, CSiteClient* aSite, CRtString aHttpVerb, CRtString aHeaders,
                           const char* aOptional, DWORD aOptLength)
    : m_key(0),
      m_status(REQUEST_NEW),
      m_optional(nullptr),
      m_optLength(0),
      m_site(aSite),
      m_bAsync(FALSE),
      m_bNotified(FALSE),
      m_startTicks(0),
      m_httpStatus(0),
      m_internetError(0),
      m_bUseProxy(FALSE) {
  m_httpVerb = aHttpVerb;
  for (char& c : m_httpVerb) c = (char)toupper((unsigned char)c);
  m_headers = aHeaders;

  if (aOptional && aOptLength > 0) {
    m_objectName = aObjectName;
    m_optional = new (std::nothrow) char[aOptLength];
    if (m_optional) {
      memcpy(m_optional, aOptional, aOptLength);
      m_optLength = aOptLength;
    }
  } else if (m_httpVerb == "POST") {
    size_t pos = aObjectName.find('?');
    if (pos != CRtString::npos) {
      m_objectName = aObjectName.substr(0, pos);
      // The query goes out as the form body, its terminating zero included.
      DWORD length = (DWORD)(aObjectName.size() - pos - 1) + 1;
      m_optional = new (std::nothrow) char[length]();
      if (m_optional) {
        memcpy(m_optional, aObjectName.data() + pos + 1, length - 1);
        m_optLength = length;
      }
      m_headers += kFormContentType;
    } else {
      m_objectName = aObjectName;
    }
  } else {
    m_objectName = aObjectName;
  }

  if (m_objectName.size() > kLongObjectName) {
    RT_WARNING_TRACE_THIS("CRequestItem::CRequestItem, url len=" << (unsigned int)m_objectName.size());
  }
  m_startTicks = GetTickCount();
  m_key = ++s_requestKey;
}

CRequestItem::~CRequestItem() {}

void CRequestItem::Clear(bool bAll) {
  m_startTicks = GetTickCount();
  if (bAll) {
    m_status = REQUEST_NEW;
    if (m_optional) {
      delete[] m_optional;
      m_optional = nullptr;
    }
  }
}

CRtString CRequestItem::GetDetail() {
  char buffer[1024];
  int ret = _snprintf(buffer, sizeof(buffer), "Detail: key=%d,objectName=[%s], receiveMsg=%s, status=%u", (int)m_key,
                      m_objectName.c_str(), m_receiveMsg.c_str(), (unsigned int)m_status);
  if (ret >= (int)sizeof(buffer) || ret < 0) {
    RT_WARNING_TRACE_THIS("CRequestItem::GetDetail, snprintf error.");
    buffer[sizeof(buffer) - 1] = '\0';
  }
  return CRtString(buffer);
}

DWORD CRequestItem::RefreshStartTime() {
  m_startTicks = GetTickCount();
  return m_startTicks;
}
