// Sending and reading: HttpAddRequestHeadersA, HttpSendRequestA,
// InternetReadFile(ExA) and InternetQueryDataAvailable. An operation that has
// to wait is registered on the request; the worker completes it (BodySink.cpp,
// ReplyHeaders.cpp). Asynchronous callers get ERROR_IO_PENDING, synchronous
// ones wait here and run their progress reports themselves.
#include <strings.h>

#include <algorithm>
#include <cstring>

#include "ApiSupport.h"

namespace qmxinet {

void MaybeResume(const RequestPtr& r, std::unique_lock<std::mutex>& lock) {
  if (r->m_paused && !r->m_resumePosted && r->Buffered() < kLowWater) {
    r->m_resumePosted = true;
    lock.unlock();
    EngineResume(r);
    lock.lock();
  }
}

namespace {

enum class ReadMode { kFill, kNoWait };

// The common read: TRUE with *count bytes, FALSE with an error, or FALSE
// with ERROR_IO_PENDING after registering the operation (asynchronous), or
// blocks until it completes (synchronous).
BOOL Read(const RequestPtr& r, char* buf, DWORD want, ReadMode mode, LPDWORD countOut, LPINTERNET_BUFFERSA irb) {
  std::unique_lock<std::mutex> lock(r->m_mu);
  if (r->m_phase != RequestObj::Phase::kHeaders || r->m_op != OpKind::kNone)
    return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  auto finishNow = [&](DWORD n) {
    if (countOut) *countOut = n;
    if (irb) irb->dwBufferLength = n;
    MaybeResume(r, lock);
    return Ok();
  };
  if (want == 0) return finishNow(0);
  DWORD got = 0;
  if (r->Buffered() > 0) {
    got = r->TakeBytesLocked(buf, want);
    if (mode == ReadMode::kNoWait || got == want) return finishNow(got);
  }
  if (r->m_eof) return finishNow(got);
  if (r->m_bodyError) {
    if (got) return finishNow(got);  // the error comes with the next read
    return Fail(r->m_bodyError);
  }
  // Has to wait for the network. A synchronous wait inside a status
  // callback would wait for the very thread that runs it.
  if (!r->m_async && OnEngineThread()) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  r->BeginOpLocked(mode == ReadMode::kNoWait ? OpKind::kReadNoWait : OpKind::kReadFill, buf, want, got, countOut, irb,
                   nullptr);
  MaybeResume(r, lock);
  if (r->m_async) {
    if (countOut) *countOut = 0;
    lock.unlock();
    Notify(r, INTERNET_STATUS_RECEIVING_RESPONSE, nullptr, 0, true);
    return Fail(ERROR_IO_PENDING);
  }
  r->WaitSyncLocked(lock, [&] { return r->m_opDone; });
  if (r->m_closed) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
  if (mode == ReadMode::kNoWait) {
    // Synchronous no-wait: data has arrived; hand it over now.
    if (r->m_opError) return Fail(r->m_opError);
    DWORD n = r->TakeBytesLocked(buf, want);
    return finishNow(n);
  }
  if (r->m_opError) return Fail(r->m_opError);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

// The caller's header text, up to a NUL or the given length.
std::string HeaderText(LPCSTR text, DWORD length, bool zeroMeansAll) {
  if (length == 0xFFFFFFFF || (zeroMeansAll && length == 0)) return std::string(text);
  return std::string(text, strnlen(text, length));
}

}  // namespace
}  // namespace qmxinet

using namespace qmxinet;

extern "C" {

BOOL WINAPI HttpAddRequestHeadersA(HINTERNET hRequest, LPCSTR lpszHeaders, DWORD dwHeadersLength, DWORD dwModifiers) {
  return Firewall<BOOL>(FALSE, [&] {
    RequestPtr r = FindRequest(hRequest);
    if (!r) return FALSE;
    if (!lpszHeaders) return Fail(ERROR_INVALID_PARAMETER);
    std::vector<std::string> lines = SplitHeaderLines(HeaderText(lpszHeaders, dwHeadersLength, false), true);
    std::lock_guard<std::mutex> lock(r->m_mu);
    for (std::string& line : lines) {
      std::string name = line.substr(0, line.find(':'));
      auto same = [&](const std::string& h) {
        return h.size() > name.size() && strncasecmp(h.c_str(), name.c_str(), name.size()) == 0 &&
               h[name.size()] == ':';
      };
      auto it = std::find_if(r->m_addedHeaders.begin(), r->m_addedHeaders.end(), same);
      if (it != r->m_addedHeaders.end()) {
        if (dwModifiers & HTTP_ADDREQ_FLAG_ADD_IF_NEW) return Fail(ERROR_HTTP_HEADER_ALREADY_EXISTS);
        if (dwModifiers & HTTP_ADDREQ_FLAG_REPLACE) {
          *it = line;
          continue;
        }
      }
      r->m_addedHeaders.push_back(line);
    }
    return Ok();
  });
}

BOOL WINAPI HttpSendRequestA(HINTERNET hRequest, LPCSTR lpszHeaders, DWORD dwHeadersLength, LPVOID lpOptional,
                             DWORD dwOptionalLength) {
  return Firewall<BOOL>(FALSE, [&] {
    RequestPtr r = FindRequest(hRequest);
    if (!r) return FALSE;
    std::string headers;
    if (lpszHeaders) headers = HeaderText(lpszHeaders, dwHeadersLength, true);
    std::string body;
    if (lpOptional && dwOptionalLength) body.assign(static_cast<const char*>(lpOptional), dwOptionalLength);
    uint64_t gen;
    {
      std::lock_guard<std::mutex> lock(r->m_mu);
      if (r->m_op == OpKind::kSend) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
      if (!r->m_async && OnEngineThread()) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);  // see Read
      gen = r->BeginSendLocked();
    }
    DWORD startError = 0;
    bool started = false;
    startError = Contain([&] { started = EngineStartSend(r, gen, std::move(headers), std::move(body)); });
    if (!started) {
      // Nothing reached the worker: the send fails here and now, and the
      // request is free for another one.
      std::lock_guard<std::mutex> lock(r->m_mu);
      if (r->m_generation == gen) {
        r->ClearOpLocked();
        r->m_phase = RequestObj::Phase::kFailed;
        r->m_sendError = startError ? startError : ERROR_INTERNET_INTERNAL_ERROR;
      }
      return Fail(startError ? startError : ERROR_INTERNET_INTERNAL_ERROR);
    }
    if (r->m_async) return Fail(ERROR_IO_PENDING);
    std::unique_lock<std::mutex> lock(r->m_mu);
    r->WaitSyncLocked(lock, [&] { return r->m_generation != gen || r->m_phase != RequestObj::Phase::kSending; });
    if (r->m_closed) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
    if (r->m_generation != gen) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
    if (r->m_phase == RequestObj::Phase::kFailed) return Fail(r->m_sendError);
    return Ok();
  });
}

BOOL WINAPI InternetReadFile(HINTERNET hFile, LPVOID lpBuffer, DWORD dwNumberOfBytesToRead,
                             LPDWORD lpdwNumberOfBytesRead) {
  return Firewall<BOOL>(FALSE, [&] {
    RequestPtr r = FindRequest(hFile);
    if (!r) return FALSE;
    if (!lpdwNumberOfBytesRead || (!lpBuffer && dwNumberOfBytesToRead)) return Fail(ERROR_INVALID_PARAMETER);
    return Read(r, static_cast<char*>(lpBuffer), dwNumberOfBytesToRead, ReadMode::kFill, lpdwNumberOfBytesRead,
                nullptr);
  });
}

BOOL WINAPI InternetReadFileExA(HINTERNET hFile, LPINTERNET_BUFFERSA lpBuffersOut, DWORD dwFlags, DWORD_PTR) {
  return Firewall<BOOL>(FALSE, [&] {
    RequestPtr r = FindRequest(hFile);
    if (!r) return FALSE;
    if (!lpBuffersOut || lpBuffersOut->dwStructSize != sizeof(INTERNET_BUFFERSA)) return Fail(ERROR_INVALID_PARAMETER);
    if (!lpBuffersOut->lpvBuffer && lpBuffersOut->dwBufferLength) return Fail(ERROR_INVALID_PARAMETER);
    ReadMode mode = (dwFlags & IRF_NO_WAIT) ? ReadMode::kNoWait : ReadMode::kFill;
    return Read(r, static_cast<char*>(lpBuffersOut->lpvBuffer), lpBuffersOut->dwBufferLength, mode, nullptr,
                lpBuffersOut);
  });
}

BOOL WINAPI InternetQueryDataAvailable(HINTERNET hFile, LPDWORD lpdwNumberOfBytesAvailable, DWORD, DWORD_PTR) {
  return Firewall<BOOL>(FALSE, [&] {
    RequestPtr r = FindRequest(hFile);
    if (!r) return FALSE;
    if (!lpdwNumberOfBytesAvailable) return Fail(ERROR_INVALID_PARAMETER);
    std::unique_lock<std::mutex> lock(r->m_mu);
    if (r->m_phase != RequestObj::Phase::kHeaders || r->m_op != OpKind::kNone)
      return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    if (r->Buffered() || r->m_eof) {
      *lpdwNumberOfBytesAvailable = static_cast<DWORD>(r->Buffered());
      return Ok();
    }
    if (r->m_bodyError) return Fail(r->m_bodyError);
    if (!r->m_async && OnEngineThread()) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);  // see Read
    r->BeginOpLocked(OpKind::kQueryAvailable, nullptr, 0, 0, nullptr, nullptr, lpdwNumberOfBytesAvailable);
    *lpdwNumberOfBytesAvailable = 0;
    MaybeResume(r, lock);
    if (r->m_async) return Fail(ERROR_IO_PENDING);
    r->WaitSyncLocked(lock, [&] { return r->m_opDone; });
    if (r->m_closed) return Fail(ERROR_INTERNET_OPERATION_CANCELLED);
    if (r->m_opError) return Fail(r->m_opError);
    return Ok();
  });
}

}  // extern "C"
