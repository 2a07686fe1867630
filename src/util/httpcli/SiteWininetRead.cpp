// Reading a reply's body: in blocks on the owner thread for a synchronous
// request, in no-wait pieces driven by WinINet's reports for an asynchronous
// one, each piece recorded as it comes.
#include <algorithm>
#include <memory>
#include <new>

#include <stdlib.h>

#include "ConfWebaResults.h"
#include "HttpClient.h"
#include "InternetCallback.h"
#include "SiteWininet.h"
#include "qmxcrt.h"

namespace {

const DWORD kQueryContentLength = HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_CONTENT_LENGTH;
const DWORD kAsyncReadFlags = IRF_ASYNC | IRF_USE_CONTEXT;        // no-wait reads
const DWORD kAsyncReadChunk = CWininetItem::kReadBufferSize - 1;  // one byte always stays zero

// The length a reply announces, -1 when none (or not a number).
long long AnnouncedLength(HINTERNET hRequest) {
  char text[32] = {0};
  DWORD size = sizeof(text) - 1;
  if (!HttpQueryInfoA(hRequest, HTTP_QUERY_CONTENT_LENGTH, text, &size, nullptr)) return -1;
  char* end = nullptr;
  const long long length = strtoll(text, &end, 10);
  return end != text && length >= 0 ? length : -1;
}

}  // namespace

int CSiteWininet::EndAsyncRead(CWininetItem* aRequest, int aResult) {
  const DWORD key = aRequest->m_key;
  if (m_pRecord) m_pRecord->EndReply(key);
  aRequest->m_status = REQUEST_DONE;
  if (aResult == QMX_OK) NotifySink(aRequest, QMX_OK);
  Cancel_i(key, true);
  return aResult;
}

void CSiteWininet::ReserveReply(CWininetItem* aRequest) {
  DWORD length = 0;
  DWORD size = sizeof(length);
  if (!HttpQueryInfoA(aRequest->hRequest, kQueryContentLength, &length, &size, nullptr)) return;
  const size_t wanted = aRequest->m_receiveMsg.size() + std::min<size_t>(length, kMaxReplyBytes);
  if (wanted > aRequest->m_receiveMsg.capacity()) aRequest->m_receiveMsg.reserve(wanted);
}

int CSiteWininet::InternetRead_sync(CWininetItem* aRequest) {
  // Read in blocks of a fixed size, whatever length the reply announces: a
  // server that announces gigabytes and sends a few bytes costs one block.
  std::unique_ptr<char[]> block(new (std::nothrow) char[kSyncReadBlock]);
  RT_ASSERTE_RETURN(block, QMX_ERR_OUT_OF_MEMORY);
  CRtString& reply = aRequest->m_receiveMsg;
  const DWORD key = aRequest->m_key;
  for (;;) {
    DWORD read = 0;
    if (!InternetReadFile(aRequest->hRequest, block.get(), kSyncReadBlock, &read)) {
      const DWORD error = GetLastError();
      aRequest->m_internetError = error;
      if (m_pRecord) m_pRecord->EndReply(key);
      RT_ERROR_TRACE_THIS("CSiteWininet::InternetRead_sync, InternetReadFile failed. error=" << (unsigned int)error);
      return QMX_ERR_TRANSPORT;
    }
    if (read == 0) {
      if (m_pRecord) m_pRecord->EndReply(key);
      aRequest->m_status = REQUEST_DONE;
      NotifySink(aRequest, QMX_OK);
      return QMX_OK;
    }
    read = std::min(read, kSyncReadBlock);
    if (m_pRecord) m_pRecord->Record(key, block.get(), read);
    if (aRequest->m_bodySink) {
      if (!aRequest->m_bodySink->OnBody(block.get(), read)) {
        if (m_pRecord) m_pRecord->EndReply(key);
        RT_WARNING_TRACE_THIS(
            "CSiteWininet::InternetRead_sync, the body's receiver stopped the transfer. requ=" << (unsigned int)key);
        return QMX_ERR_TRANSPORT;
      }
    } else {
      if (reply.size() + read > kMaxReplyBytes) {
        if (m_pRecord) m_pRecord->EndReply(key);
        RT_WARNING_TRACE_THIS("CSiteWininet::InternetRead_sync, reply too long. requ=" << (unsigned int)key
                                                                                       << ",limit=" << kMaxReplyBytes);
        reply.clear();
        return QMX_ERR_TRANSPORT;
      }
      reply.append(block.get(), read);
    }
  }
}

bool CSiteWininet::YieldRead(CWininetItem* aRequest) {
  // The report a pending read would bring, posted now: the read goes on
  // from the host's queue after what waits there.
  CInternetCallbackEvent* next =
      new (std::nothrow) CInternetCallbackEvent(aRequest->m_key, INTERNET_STATUS_REQUEST_COMPLETE, QMX_OK);
  if (!next) return false;
  if (CHttpClient::Instance()->PostEvent(next) != QMX_OK) {
    delete next;
    return false;
  }
  aRequest->RefreshStartTime();
  return true;
}

int CSiteWininet::InternetRead_async(CWininetItem* aRequest) {
  ISiteBodySink* const bodySink = aRequest->m_bodySink;
  // A body receiver takes large pieces; a reply text grows by small ones.
  const DWORD chunk = bodySink ? kSyncReadBlock : kAsyncReadChunk;
  if (!aRequest->m_readBuffer) {
    // Cleared once: reads fill at most chunk bytes, so the last byte stays
    // zero.
    aRequest->m_readBuffer = new (std::nothrow) char[chunk + 1]();
    if (!aRequest->m_readBuffer) {
      RtAssertFailed(__FILE__, __LINE__, "aRequest->buffer");
      return QMX_ERR_OUT_OF_MEMORY;
    }
    aRequest->m_bReadStarted = true;
    if (bodySink) {
      bodySink->OnBodyLength(AnnouncedLength(aRequest->hRequest));
    } else {
      ReserveReply(aRequest);
    }
  }
  // Our reads never wait (no-wait semantics): a read that went pending left
  // the block untouched, and the report that it may go on brings us back
  // here to read again into a fresh block.
  INTERNET_BUFFERSA& block = aRequest->m_buffers;
  auto resetBlock = [&]() {
    block.lpvBuffer = aRequest->m_readBuffer;
    block.dwBufferLength = chunk;
  };
  size_t slice = 0;
  resetBlock();
  DWORD key = aRequest->m_key;
  for (;;) {
    BOOL ok = InternetReadFileExA(aRequest->hRequest, &block, kAsyncReadFlags, key);
    DWORD error = ok ? 0 : GetLastError();
    if (ok) {
      if (block.lpvBuffer && block.dwBufferLength > 0) {
        DWORD got = std::min(block.dwBufferLength, chunk);
        const char* data = static_cast<const char*>(block.lpvBuffer);
        if (bodySink) {
          if (m_pRecord) m_pRecord->Record(key, data, got);
          if (!bodySink->OnBody(data, got)) {
            RT_WARNING_TRACE_THIS("CSiteWininet::InternetRead_async, the body's receiver stopped the transfer. requ="
                                  << (unsigned int)key);
            return EndAsyncRead(aRequest, QMX_ERR_TRANSPORT);
          }
          resetBlock();
          slice += got;
          if (slice >= kAsyncBodySlice && YieldRead(aRequest)) return QMX_READ_PENDING;
          continue;
        }
        if (aRequest->m_receiveMsg.size() + got > kMaxReplyBytes) {
          // A reply larger than any the site sends: the request fails as a
          // failed transfer does, with nothing of the body kept.
          RT_WARNING_TRACE_THIS("CSiteWininet::InternetRead_async, reply too long. requ="
                                << (unsigned int)key << ",limit=" << kMaxReplyBytes);
          aRequest->m_receiveMsg.clear();
          return EndAsyncRead(aRequest, QMX_ERR_TRANSPORT);
        }
        if (m_pRecord) m_pRecord->Record(key, data, got);
        aRequest->m_receiveMsg.append(data, got);
        resetBlock();
        continue;
      }
      RT_INFO_TRACE_THIS("CSiteWininet::InternetRead_async, read file complete. requ=" << (unsigned int)key);
      return EndAsyncRead(aRequest, QMX_OK);
    }
    if (error == ERROR_IO_PENDING) {
      if (block.dwBufferLength != chunk && block.lpvBuffer && m_pRecord) {
        m_pRecord->Record(key, static_cast<const char*>(block.lpvBuffer), std::min(block.dwBufferLength, chunk));
      }
      aRequest->RefreshStartTime();
      RT_INFO_TRACE_THIS("CSiteWininet::InternetRead_async, wait for next complete event. requ="
                         << (unsigned int)key << ", dwBufferLength=" << (unsigned int)block.dwBufferLength);
      return QMX_READ_PENDING;
    }
    RT_ERROR_TRACE_THIS("CSiteWininet::InternetRead_async, wait timeout, InternetReadFileEx failed. requ="
                        << (unsigned int)key << ",error=" << (unsigned int)error);
    if (!aRequest->m_internetError) aRequest->m_internetError = error;
    return EndAsyncRead(aRequest, QMX_ERR_TRANSPORT);
  }
}
