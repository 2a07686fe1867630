// The handle table, the creation of root, connect and request handles, the
// status callback, closing, and the request's own transitions.
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>

#include "ApiSupport.h"

static_assert(sizeof(INTERNET_BUFFERSA) == 56, "INTERNET_BUFFERSA layout");
static_assert(sizeof(URL_COMPONENTSA) == 104, "URL_COMPONENTSA layout");
static_assert(sizeof(INTERNET_ASYNC_RESULT) == 16, "INTERNET_ASYNC_RESULT layout");

namespace qmxinet {
namespace {

// The table of live handles. Any thread, under m_mu; one per process, never
// destroyed (handles may be closed during static destruction).
struct Table {
  std::mutex m_mu;
  std::map<uintptr_t, HandlePtr> m_handles;
  uintptr_t m_next = 1;
};

Table& TheTable() {
  static Table* t = new Table;
  return *t;
}

void AddChild(const HandlePtr& parent, const HandlePtr& child) {
  std::lock_guard<std::mutex> lock(parent->m_mu);
  // Children closed meanwhile leave expired entries; a weak pointer keeps its
  // object's storage, so drop them before the list of a long-lived root or
  // connection grows with every request it ever had.
  auto& kids = parent->m_children;
  kids.erase(std::remove_if(kids.begin(), kids.end(), [](const std::weak_ptr<HandleObj>& w) { return w.expired(); }),
             kids.end());
  kids.push_back(child);
}

// Makes a new child handle known: listed under its parent first, so that a
// failure on the way leaves nothing registered; then in the table, then
// HANDLE_CREATED on the caller's thread.
HINTERNET Publish(const HandlePtr& parent, const HandlePtr& child) {
  AddChild(parent, child);
  HINTERNET h = RegisterHandle(child);
  Notify(child, INTERNET_STATUS_HANDLE_CREATED, &h, sizeof h, true);
  SetLastError(ERROR_SUCCESS);
  return h;
}

}  // namespace

HINTERNET RegisterHandle(const HandlePtr& h) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.m_mu);
  const uintptr_t id = t.m_next;
  t.m_handles[id] = h;  // may throw: nothing changed then
  t.m_next++;
  h->m_id = id;
  return h->Value();
}

HandlePtr LookupHandle(HINTERNET h) {
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.m_mu);
  auto it = t.m_handles.find(reinterpret_cast<uintptr_t>(h));
  return it == t.m_handles.end() ? nullptr : it->second;
}

namespace {

// x's tree, depth first, children before their parent.
void CollectTree(const HandlePtr& x, std::vector<HandlePtr>& out) {
  std::vector<std::weak_ptr<HandleObj>> kids;
  {
    std::lock_guard<std::mutex> lock(x->m_mu);
    if (!x->m_children.empty()) kids = x->m_children;
  }
  for (auto& w : kids)
    if (auto k = w.lock()) CollectTree(k, out);
  out.push_back(x);
}

}  // namespace

std::vector<HandlePtr> UnregisterTree(HINTERNET h) {
  std::vector<HandlePtr> out;
  HandlePtr top = LookupHandle(h);
  if (!top) return out;
  CollectTree(top, out);
  // Those another thread did not unregister first; nothing below throws.
  Table& t = TheTable();
  std::lock_guard<std::mutex> lock(t.m_mu);
  out.erase(
      std::remove_if(out.begin(), out.end(), [&t](const HandlePtr& x) { return t.m_handles.erase(x->m_id) == 0; }),
      out.end());
  return out;
}

HandlePtr Find(HINTERNET h) {
  HandlePtr p = LookupHandle(h);
  if (!p) SetLastError(ERROR_INVALID_HANDLE);
  return p;
}

RequestPtr FindRequest(HINTERNET h) {
  HandlePtr p = Find(h);
  if (!p) return nullptr;
  if (p->m_kind != Kind::kRequest) {
    SetLastError(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    return nullptr;
  }
  return std::static_pointer_cast<RequestObj>(p);
}

void HandleObj::InheritFrom(HandleObj& parent) {
  std::lock_guard<std::mutex> lock(parent.m_mu);
  m_callback = parent.m_callback;
  m_connectTimeout = parent.m_connectTimeout;
  m_sendTimeout = parent.m_sendTimeout;
  m_receiveTimeout = parent.m_receiveTimeout;
  m_totalTimeout = parent.m_totalTimeout;
  m_decoding = parent.m_decoding;
}

// ---------------------------------------------------------------------------
// Request transitions (m_mu held)

uint64_t RequestObj::BeginSendLocked() {
  ClearOpLocked();  // a new send replaces whatever the previous one left behind
  const uint64_t gen = ++m_generation;
  m_syncNotes.clear();  // reports of the previous exchange nobody ran
  m_phase = Phase::kSending;
  m_sendError = 0;
  m_status = 0;
  m_headers.clear();
  m_rawLines.clear();
  m_body.clear();
  m_bodyOffset = 0;
  m_eof = false;
  m_bodyError = 0;
  m_paused = false;
  m_tlsDone = false;
  m_op = OpKind::kSend;
  m_opDone = false;
  m_opError = 0;
  return gen;
}

void RequestObj::BeginOpLocked(OpKind kind, char* buffer, DWORD capacity, DWORD filled, LPDWORD countOut,
                               LPINTERNET_BUFFERSA buffers, LPDWORD availableOut) {
  m_op = kind;
  m_opBuffer = buffer;
  m_opCapacity = capacity;
  m_opFilled = filled;
  m_opCountOut = countOut;
  m_opBuffers = buffers;
  m_opAvailableOut = availableOut;
  m_opDone = false;
  m_opError = 0;
}

void RequestObj::ClearOpLocked() {
  m_op = OpKind::kNone;
  m_opBuffer = nullptr;
  m_opBuffers = nullptr;
  m_opCountOut = nullptr;
  m_opAvailableOut = nullptr;
}

void RequestObj::FinishOpLocked(DWORD error) {
  if (m_op == OpKind::kReadFill && error == 0) {
    if (m_opBuffers) m_opBuffers->dwBufferLength = m_opFilled;
    if (m_opCountOut) *m_opCountOut = m_opFilled;
  } else if (m_op == OpKind::kQueryAvailable && error == 0 && m_opAvailableOut) {
    *m_opAvailableOut = static_cast<DWORD>(Buffered());
  }
  ClearOpLocked();
  m_opDone = true;
  m_opError = error;
  m_cv.notify_all();
}

DWORD RequestObj::TakeBytesLocked(char* dst, DWORD want) {
  DWORD n = static_cast<DWORD>(std::min<size_t>(want, Buffered()));
  if (n) std::memcpy(dst, m_body.data() + m_bodyOffset, n);
  m_bodyOffset += n;
  CompactLocked();
  return n;
}

void RequestObj::CompactLocked() {
  if (m_bodyOffset == m_body.size()) {
    m_body.clear();
    m_bodyOffset = 0;
  } else if (m_bodyOffset > 64 * 1024 && m_bodyOffset * 2 > m_body.size()) {
    m_body.erase(0, m_bodyOffset);
    m_bodyOffset = 0;
  }
}

void RequestObj::RunSyncNotesLocked(std::unique_lock<std::mutex>& lock) {
  while (!m_syncNotes.empty()) {
    auto fn = std::move(m_syncNotes.front());
    m_syncNotes.pop_front();
    lock.unlock();
    fn();
    lock.lock();
  }
}

}  // namespace qmxinet

using namespace qmxinet;

extern "C" {

HINTERNET WINAPI InternetOpenA(LPCSTR lpszAgent, DWORD dwAccessType, LPCSTR lpszProxy, LPCSTR lpszProxyBypass,
                               DWORD dwFlags) {
  return Firewall<HINTERNET>(nullptr, [&]() -> HINTERNET {
    auto root = std::make_shared<RootObj>();
    root->m_async = dwFlags & INTERNET_FLAG_ASYNC;
    root->m_hasAgent = lpszAgent != nullptr;
    if (lpszAgent) root->m_agent = lpszAgent;
    switch (dwAccessType) {
      case INTERNET_OPEN_TYPE_DIRECT:
        root->m_proxy.mode = ProxyConfig::kDirect;
        break;
      case INTERNET_OPEN_TYPE_PRECONFIG:
      case INTERNET_OPEN_TYPE_PRECONFIG_WITH_NO_AUTOPROXY:
        ReadProxyEnvironment(root->m_proxy);
        break;
      case INTERNET_OPEN_TYPE_PROXY:
        if (!lpszProxy) return FailNull(ERROR_INVALID_PARAMETER);
        if (!ParseProxyList(lpszProxy, root->m_proxy.entries)) return FailNull(ERROR_INVALID_PARAMETER);
        root->m_proxy.mode = ProxyConfig::kList;
        if (lpszProxyBypass) ParseBypassList(lpszProxyBypass, root->m_proxy.bypass);
        break;
      default:
        return FailNull(ERROR_INVALID_PARAMETER);
    }
    {
      std::lock_guard<std::mutex> lock(SettingsMutex());
      root->m_connectTimeout = Settings().m_connectTimeout;
      root->m_sendTimeout = Settings().m_sendTimeout;
      root->m_receiveTimeout = Settings().m_receiveTimeout;
      root->m_totalTimeout = Settings().m_totalTimeout;
    }
    if (DWORD err = EngineEnsureStarted()) return FailNull(err);
    HINTERNET h = RegisterHandle(root);
    SetLastError(ERROR_SUCCESS);
    return h;
  });
}

HINTERNET WINAPI InternetConnectA(HINTERNET hInternet, LPCSTR lpszServerName, INTERNET_PORT nServerPort,
                                  LPCSTR lpszUserName, LPCSTR lpszPassword, DWORD dwService, DWORD dwFlags,
                                  DWORD_PTR dwContext) {
  return Firewall<HINTERNET>(nullptr, [&]() -> HINTERNET {
    HandlePtr p = Find(hInternet);
    if (!p) return nullptr;
    auto root = As<RootObj>(p, Kind::kRoot);
    if (!root) return FailNull(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    if (!lpszServerName || !*lpszServerName) return FailNull(ERROR_INVALID_PARAMETER);
    if (dwService != INTERNET_SERVICE_HTTP) return FailNull(ERROR_INVALID_PARAMETER);
    auto c = std::make_shared<ConnectObj>();
    c->m_root = root;
    c->m_parent = root;
    c->m_async = root->m_async;
    c->m_host = lpszServerName;
    c->m_port = nServerPort;
    c->m_flags = dwFlags;
    if (lpszUserName) c->m_user = lpszUserName;
    if (lpszPassword) c->m_password = lpszPassword;
    c->m_context = dwContext;
    c->InheritFrom(*root);
    return Publish(root, c);
  });
}

HINTERNET WINAPI HttpOpenRequestA(HINTERNET hConnect, LPCSTR lpszVerb, LPCSTR lpszObjectName, LPCSTR lpszVersion,
                                  LPCSTR lpszReferrer, LPCSTR* lplpszAcceptTypes, DWORD dwFlags, DWORD_PTR dwContext) {
  return Firewall<HINTERNET>(nullptr, [&]() -> HINTERNET {
    HandlePtr p = Find(hConnect);
    if (!p) return nullptr;
    auto conn = As<ConnectObj>(p, Kind::kConnect);
    if (!conn) return FailNull(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    auto r = std::make_shared<RequestObj>();
    r->m_conn = conn;
    r->m_parent = conn;
    r->m_async = conn->m_async;
    r->m_verb = lpszVerb && *lpszVerb ? lpszVerb : "GET";
    r->m_path = lpszObjectName ? lpszObjectName : "";
    r->m_version = lpszVersion && *lpszVersion ? lpszVersion : "HTTP/1.1";
    r->m_referrer = lpszReferrer ? lpszReferrer : "";
    if (lplpszAcceptTypes) {
      for (LPCSTR* a = lplpszAcceptTypes; *a; ++a) {
        if (!**a) continue;
        if (!r->m_accept.empty()) r->m_accept += ", ";
        r->m_accept += *a;
      }
    }
    r->m_flags = dwFlags;
    r->m_securityFlags = dwFlags & (INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID);
    r->m_context = dwContext;
    r->InheritFrom(*conn);
    return Publish(conn, r);
  });
}

INTERNET_STATUS_CALLBACK WINAPI InternetSetStatusCallbackA(HINTERNET hInternet, INTERNET_STATUS_CALLBACK lpfnCallback) {
  return Firewall<INTERNET_STATUS_CALLBACK>(INTERNET_INVALID_STATUS_CALLBACK, [&] {
    HandlePtr h = Find(hInternet);
    if (!h) return INTERNET_INVALID_STATUS_CALLBACK;
    std::lock_guard<std::mutex> lock(h->m_mu);
    INTERNET_STATUS_CALLBACK old = h->m_callback;
    h->m_callback = lpfnCallback;
    SetLastError(ERROR_SUCCESS);
    return old;
  });
}

BOOL WINAPI InternetCloseHandle(HINTERNET hInternet) {
  return Firewall<BOOL>(FALSE, [&] {
    std::vector<HandlePtr> gone = UnregisterTree(hInternet);
    if (gone.empty()) return Fail(ERROR_INVALID_HANDLE);
    bool pending = false;
    for (const HandlePtr& h : gone) {
      bool direct = !h->m_async;
      {
        std::lock_guard<std::mutex> lock(h->m_mu);
        h->m_closed = true;
        bool busy = false;
        if (h->m_kind == Kind::kRequest) {
          auto* r = static_cast<RequestObj*>(h.get());
          busy = r->m_op != OpKind::kNone;
          if (busy) pending = true;
          // A pending read's buffer is the caller's again from now on.
          r->ClearOpLocked();
          r->m_syncNotes.clear();
          r->m_cv.notify_all();
        }
        // Nothing outstanding and nothing queued: reported inside the close.
        if (!busy && h->m_queued == 0) direct = true;
      }
      // The handle is out of the table: it is closed whatever follows. A
      // cancel or report that finds no memory is lost rather than turned into
      // a failure of a close that has happened.
      try {
        if (h->m_kind == Kind::kRequest) EngineCancel(std::static_pointer_cast<RequestObj>(h));
        HINTERNET value = h->Value();
        // Otherwise HANDLE_CLOSING is queued behind the notifications already
        // raised for the handle, and is its last one.
        Notify(h, INTERNET_STATUS_HANDLE_CLOSING, &value, sizeof value, direct);
      } catch (const std::bad_alloc&) {
      }
    }
    SetLastError(pending ? ERROR_IO_PENDING : ERROR_SUCCESS);
    return TRUE;
  });
}

}  // extern "C"
