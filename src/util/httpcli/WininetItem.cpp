#include "WininetItem.h"

#include <string.h>

#include "qmxcrt.h"

CWininetItem::CWininetItem(const CRtString& aObjectName, CSiteClient* aSite, CRtString aHttpVerb, CRtString aHeaders,
                           const char* aOptional, DWORD aOptLength)
    : CRequestItem(aObjectName, aSite, aHttpVerb, aHeaders, aOptional, aOptLength),
      hOpen(nullptr),
      hConnect(nullptr),
      hRequest(nullptr),
      m_readBuffer(nullptr),
      m_bReadStarted(false),
      m_internetStatus(0),
      m_bodySink(nullptr) {
  memset(&m_buffers, 0, sizeof(m_buffers));
  m_buffers.dwStructSize = sizeof(m_buffers);
  RT_INFO_TRACE_THIS("CWininetItem::CWininetItem, " << (unsigned int)m_key);
}

CWininetItem::~CWininetItem() {
  if (m_bAsync && m_internetStatus != INTERNET_STATUS_REQUEST_COMPLETE) {
    // Given up before WinINet finished it.
    RT_WARNING_TRACE_THIS("CWininetItem::~CWininetItem, requ=" << (unsigned int)m_key
                                                               << ",internetstatus=" << (unsigned int)m_internetStatus);
  } else {
    RT_INFO_TRACE_THIS("CWininetItem::~CWininetItem, requ=" << (unsigned int)m_key << ",bAsync=" << (int)m_bAsync
                                                            << ",internetstatus=" << (unsigned int)m_internetStatus);
  }
  Clear(true);
}

void CWininetItem::Clear(bool bAll) {
  RT_INFO_TRACE_THIS("CWininetItem::Clear, requ=" << (unsigned int)m_key);
  CRequestItem::Clear(bAll);
  if (m_readBuffer) {
    delete[] m_readBuffer;
    m_readBuffer = nullptr;
  }
  m_bReadStarted = false;
  m_buffers.lpvBuffer = nullptr;
  m_buffers.dwBufferLength = 0;
  if (bAll) {
    if (hRequest) {
      InternetCloseHandle(hRequest);
      hRequest = nullptr;
    }
    if (hConnect) {
      InternetCloseHandle(hConnect);
      hConnect = nullptr;
    }
    if (hOpen) {
      InternetCloseHandle(hOpen);
      hOpen = nullptr;
    }
  }
}

CRtString CWininetItem::GetDetail() {
  char buffer[1024];
  int ret = _snprintf(buffer, sizeof(buffer), ", hOpen=%d,hConnect=%d,hRequest=%d", (int)(intptr_t)hOpen,
                      (int)(intptr_t)hConnect, (int)(intptr_t)hRequest);
  if (ret >= (int)sizeof(buffer) || ret < 0) {
    RT_WARNING_TRACE_THIS("CWininetItem::GetDetail, snprintf error.");
    buffer[sizeof(buffer) - 1] = '\0';
  }
  return CRequestItem::GetDetail() + buffer;
}
