// Helpers of the entry points (caller's thread): results with the last
// error set, handle look-up by kind, and copying answers out.
#ifndef QMX_WININET_APISUPPORT_H
#define QMX_WININET_APISUPPORT_H

#include <memory>
#include <mutex>
#include <string>

#include "Firewall.h"
#include "LayerIf.h"

namespace qmxinet {

inline BOOL Fail(DWORD error) {
  SetLastError(error);
  return FALSE;
}

inline HINTERNET FailNull(DWORD error) {
  SetLastError(error);
  return nullptr;
}

inline BOOL Ok() {
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

template <class T>
std::shared_ptr<T> As(const HandlePtr& h, Kind k) {
  if (!h || h->m_kind != k) return nullptr;
  return std::static_pointer_cast<T>(h);
}

// Looks a handle up, with the last error set when it is unusable.
HandlePtr Find(HINTERNET h);
RequestPtr FindRequest(HINTERNET h);

// Copies a text answer: length without the NUL on success; 122 with the
// size needed (NUL included) when it does not fit.
BOOL CopyText(const std::string& s, LPVOID buf, LPDWORD len);
BOOL CopyDword(DWORD v, LPVOID buf, LPDWORD len);

// Asks the worker to go on with a paused transfer once the reader has
// brought the unread bytes under the low-water mark (lock: the request's).
void MaybeResume(const RequestPtr& r, std::unique_lock<std::mutex>& lock);

// The proxy a request would use, for the credential cache and the prompt.
ProxyChoice RouteProxy(const RequestPtr& r);

}  // namespace qmxinet

#endif
