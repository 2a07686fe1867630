// Body delivery: bytes into the request (or straight into a waiting
// reader's buffer), flow control, the end of a transfer as the request sees
// it, and the host's progress observer (worker thread).
#include <algorithm>
#include <cstring>

#include "Firewall.h"
#include "LayerIf.h"
#include "Transfer.h"

namespace qmxinet {
namespace {

// The progress observer. Held while it runs, so that once it is replaced the
// old one is never called again. Any thread, under g_progressMu.
std::mutex g_progressMu;
QMX_PROGRESS_OBSERVER g_progress = nullptr;
LPVOID g_progressData = nullptr;

// A pending read that completed: 41 (reads report it only when they went
// pending in an asynchronous session), then the completion.
void ReportReadDone(Transfer* t, DWORD filled) {
  if (filled && t->m_req->m_async) Notify(t->m_req, INTERNET_STATUS_RESPONSE_RECEIVED, &filled, sizeof filled, false);
  NotifyComplete(t->m_req, 1, 0);
}

size_t Deliver(Transfer* t, char* data, size_t len) {
  if (!t->Published()) PublishReply(t);  // a reply without headers, or the body of a candidate
  RequestObj& r = *t->m_req;
  bool completed = false;
  DWORD filled = 0;
  {
    std::lock_guard<std::mutex> lock(r.m_mu);
    if (r.m_generation != t->m_gen || r.m_closed) return len;
    switch (r.m_op) {
      case OpKind::kReadFill: {
        size_t k = std::min<size_t>(len, r.m_opCapacity - r.m_opFilled);
        r.m_body.append(data + k, len - k);  // first: it may throw, the copy may not
        std::memcpy(r.m_opBuffer + r.m_opFilled, data, k);
        r.m_opFilled += static_cast<DWORD>(k);
        if (r.m_opFilled == r.m_opCapacity) {
          filled = r.m_opFilled;
          r.FinishOpLocked(0);
          completed = true;
        }
        break;
      }
      case OpKind::kReadNoWait:
      case OpKind::kQueryAvailable:
        r.m_body.append(data, len);
        r.FinishOpLocked(0);
        completed = true;
        break;
      default:
        if (r.Buffered() >= kHighWater) {
          r.m_paused = true;
          return CURL_WRITEFUNC_PAUSE;  // the same bytes come again on resume
        }
        r.m_body.append(data, len);
        break;
    }
  }
  t->m_bodyReceived += len;
  ReportProgress(t);
  if (completed) ReportReadDone(t, filled);
  return len;
}

}  // namespace

void ReportProgress(Transfer* t) {
  std::lock_guard<std::mutex> lock(g_progressMu);
  if (!g_progress) return;
  t->m_progressReported = true;
  // The host's observer may not throw into libcurl; if it does, the
  // transfer ends with the mapped error.
  g_progress(t->m_req->Value(), t->m_bodyReceived, t->m_bodyExpected, g_progressData);
}

size_t WriteCallback(char* data, size_t size, size_t count, void* ud) {
  Transfer* t = static_cast<Transfer*>(ud);
  size_t len = size * count;
  t->Touch(NowMs());
  size_t taken = 0;
  if (DWORD err = Contain([&] { taken = Deliver(t, data, len); })) {
    t->m_abortError = err;
    return 0;  // libcurl ends the transfer
  }
  return taken;
}

void DeliverEnd(Transfer* t, DWORD err) {
  RequestObj& r = *t->m_req;
  bool sendFailed = false, readCompleted = false;
  DWORD filled = 0;
  DWORD readError = 0;
  {
    std::lock_guard<std::mutex> lock(r.m_mu);
    if (r.m_generation == t->m_gen && !r.m_closed) {
      if (!t->Published()) {
        r.m_phase = RequestObj::Phase::kFailed;
        r.m_sendError = err;
        if (r.m_op == OpKind::kSend) r.FinishOpLocked(err);
        sendFailed = true;
      } else {
        if (err)
          r.m_bodyError = err;
        else
          r.m_eof = true;
        if (r.m_op == OpKind::kReadFill || r.m_op == OpKind::kReadNoWait || r.m_op == OpKind::kQueryAvailable) {
          filled = r.m_opFilled;
          // Bytes already placed are delivered; the error waits for the next read.
          readError = (r.m_op == OpKind::kReadFill && filled) ? 0 : err;
          r.FinishOpLocked(readError);
          readCompleted = true;
        }
      }
    }
  }
  if (sendFailed) NotifyComplete(t->m_req, 0, err);
  if (readCompleted) {
    if (readError)
      NotifyComplete(t->m_req, 0, readError);
    else
      ReportReadDone(t, filled);
  }
}

}  // namespace qmxinet

extern "C" QMX_PROGRESS_OBSERVER WINAPI QmxInternetSetProgressObserver(QMX_PROGRESS_OBSERVER lpfnObserver,
                                                                       LPVOID lpUserData) {
  std::lock_guard<std::mutex> lock(qmxinet::g_progressMu);
  QMX_PROGRESS_OBSERVER old = qmxinet::g_progress;
  qmxinet::g_progress = lpfnObserver;
  qmxinet::g_progressData = lpUserData;
  return old;
}
