// The handle objects (root, connect, request) and the handle table: data and
// the transitions of a request's state. The functions that act on them from
// outside live in HandlesIf.h.
#ifndef QMX_WININET_HANDLES_H
#define QMX_WININET_HANDLES_H

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Common.h"
#include "ProxyAuth.h"

namespace qmxinet {

enum class Kind {
  kRoot = INTERNET_HANDLE_TYPE_INTERNET,
  kConnect = INTERNET_HANDLE_TYPE_CONNECT_HTTP,
  kRequest = INTERNET_HANDLE_TYPE_HTTP_REQUEST
};

// One handle of any kind. Shared: the table, its children, queued
// notifications and the worker's transfer each hold a reference. Fields
// below m_mu may be touched by any thread, with m_mu held.
struct HandleObj : std::enable_shared_from_this<HandleObj> {
  explicit HandleObj(Kind k) : m_kind(k) {}
  virtual ~HandleObj() = default;
  HINTERNET Value() const { return reinterpret_cast<HINTERNET>(m_id); }
  // A new handle takes its parent's callback, time limits and decoding
  // switch; later changes of the parent do not reach it.
  void InheritFrom(HandleObj& parent);

  const Kind m_kind;
  uintptr_t m_id = 0;
  bool m_async = false;  // from the root; fixed at creation
  std::shared_ptr<HandleObj> m_parent;

  std::mutex m_mu;  // guards everything below, and the derived state
  INTERNET_STATUS_CALLBACK m_callback = nullptr;
  DWORD_PTR m_context = 0;
  bool m_closed = false;
  int m_queued = 0;  // notifications queued for (or running on) the worker
  std::vector<std::weak_ptr<HandleObj>> m_children;
  DWORD m_connectTimeout = 0, m_sendTimeout = 0, m_receiveTimeout = 0;
  DWORD m_totalTimeout = 0;  // whole exchange, from the send to the body's end; 0 = none
  bool m_decoding = false;
};

// InternetOpenA's handle. Its proxy settings are fixed at creation and read
// without a lock by any thread.
struct RootObj : HandleObj {
  RootObj() : HandleObj(Kind::kRoot) {}
  std::string m_agent;
  bool m_hasAgent = false;
  ProxyConfig m_proxy;
};

// InternetConnectA's handle. Host, port and flags are fixed at creation;
// the credentials change under m_mu (options).
struct ConnectObj : HandleObj {
  ConnectObj() : HandleObj(Kind::kConnect) {}
  std::shared_ptr<RootObj> m_root;
  std::string m_host;
  INTERNET_PORT m_port = 0;  // as given; 0 = scheme default
  DWORD m_flags = 0;
  std::string m_user, m_password, m_proxyUser, m_proxyPassword;
};

// What a pending operation on a request waits for.
enum class OpKind { kNone, kSend, kReadFill, kReadNoWait, kQueryAvailable };

// HttpOpenRequestA's handle. The caller's thread and the worker both change
// it, always under m_mu; the worker's callbacks of an older send are told
// apart by m_generation.
struct RequestObj : HandleObj {
  RequestObj() : HandleObj(Kind::kRequest) {}
  std::shared_ptr<ConnectObj> m_conn;
  // Fixed at HttpOpenRequestA.
  std::string m_verb, m_path, m_version, m_referrer, m_accept;
  DWORD m_flags = 0;
  // Options.
  DWORD m_securityFlags = 0;
  DWORD m_errorMask = 0;
  std::string m_user, m_password, m_proxyUser, m_proxyPassword;
  std::vector<std::string> m_addedHeaders;  // HttpAddRequestHeadersA

  // State of the current send. `m_generation` names it; engine callbacks of
  // an older send find a different number and leave the state alone.
  uint64_t m_generation = 0;
  enum class Phase { kIdle, kSending, kHeaders, kFailed } m_phase = Phase::kIdle;
  DWORD m_sendError = 0;
  std::string m_url;  // the URL of the final reply
  bool m_tlsDone = false;

  // Final reply.
  DWORD m_status = 0;
  std::string m_versionText, m_statusText;
  std::vector<std::string> m_rawLines;  // status line first, without CRLF
  std::vector<ResponseHeader> m_headers;

  // Body bytes received and not yet read.
  std::string m_body;
  size_t m_bodyOffset = 0;
  bool m_eof = false;
  DWORD m_bodyError = 0;
  bool m_paused = false;  // worker returned CURL_WRITEFUNC_PAUSE
  bool m_resumePosted = false;
  // The worker holds a transfer for this request (set when it takes a send
  // on, cleared once the transfer is out of libcurl): a close without one
  // has nothing to cancel and need not wait for the worker.
  bool m_transferLive = false;

  // The pending operation (one at a time per request).
  OpKind m_op = OpKind::kNone;
  char* m_opBuffer = nullptr;
  DWORD m_opCapacity = 0;
  DWORD m_opFilled = 0;
  LPDWORD m_opCountOut = nullptr;
  LPINTERNET_BUFFERSA m_opBuffers = nullptr;
  LPDWORD m_opAvailableOut = nullptr;
  bool m_opDone = false;  // synchronous waiters: the operation finished
  DWORD m_opError = 0;

  // Notifications of a synchronous request, run by the waiting caller.
  std::deque<std::function<void()>> m_syncNotes;
  std::condition_variable m_cv;

  size_t Buffered() const { return m_body.size() - m_bodyOffset; }

  // Transitions; all with m_mu held.
  // Starts a new exchange: drops what the previous one left; returns its
  // generation.
  uint64_t BeginSendLocked();
  // Registers a read or availability query that has to wait.
  void BeginOpLocked(OpKind kind, char* buffer, DWORD capacity, DWORD filled, LPDWORD countOut,
                     LPINTERNET_BUFFERSA buffers, LPDWORD availableOut);
  // Forgets the pending operation: its buffers are the caller's again.
  void ClearOpLocked();
  // Ends the pending operation with error (0: success), writing the count
  // or the available bytes it owes, and wakes a synchronous waiter.
  void FinishOpLocked(DWORD error);
  // Moves up to `want` unread body bytes to dst.
  DWORD TakeBytesLocked(char* dst, DWORD want);
  // A synchronous caller's wait: runs the notes owed to it (without the
  // lock) until done() holds (checked with the lock) or the handle closes.
  template <class Done>
  void WaitSyncLocked(std::unique_lock<std::mutex>& lock, Done done) {
    for (;;) {
      RunSyncNotesLocked(lock);
      if (m_closed || done()) return;
      m_cv.wait(lock);
    }
  }

 private:
  void RunSyncNotesLocked(std::unique_lock<std::mutex>& lock);
  void CompactLocked();
};

using HandlePtr = std::shared_ptr<HandleObj>;
using RequestPtr = std::shared_ptr<RequestObj>;

}  // namespace qmxinet

#endif
