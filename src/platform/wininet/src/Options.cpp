// InternetSetOptionA and InternetQueryOptionA: process-wide defaults (null
// handle) and per-handle options; and the answer-copying helpers the
// queries share.
#include <cstring>

#include "ApiSupport.h"

namespace qmxinet {

// Copies a text answer: length without the NUL on success; 122 with the
// size needed (NUL included) when it does not fit.
BOOL CopyText(const std::string& s, LPVOID buf, LPDWORD len) {
  if (!buf || *len < s.size() + 1) {
    *len = static_cast<DWORD>(s.size() + 1);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buf, s.c_str(), s.size() + 1);
  *len = static_cast<DWORD>(s.size());
  return Ok();
}

BOOL CopyDword(DWORD v, LPVOID buf, LPDWORD len) {
  if (!buf || *len < sizeof(DWORD)) {
    *len = sizeof(DWORD);
    return Fail(ERROR_INSUFFICIENT_BUFFER);
  }
  std::memcpy(buf, &v, sizeof v);
  *len = sizeof(DWORD);
  return Ok();
}

// The proxy a request would use, for the credential cache and the prompt.
ProxyChoice RouteProxy(const RequestPtr& r) {
  std::string host;
  {
    std::lock_guard<std::mutex> lock(r->m_conn->m_mu);
    host = r->m_conn->m_host;
  }
  return ChooseProxy(r->m_conn->m_root->m_proxy, r->m_flags & INTERNET_FLAG_SECURE, host);
}

namespace {

bool SetTimeout(const HandlePtr& h, DWORD option, DWORD value) {
  std::lock_guard<std::mutex> lock(h->m_mu);
  if (option == INTERNET_OPTION_CONNECT_TIMEOUT)
    h->m_connectTimeout = value;
  else if (option == INTERNET_OPTION_SEND_TIMEOUT)
    h->m_sendTimeout = value;
  else
    h->m_receiveTimeout = value;
  return true;
}

std::string StringOption(LPVOID buf) { return std::string(static_cast<const char*>(buf)); }

BOOL SetOption(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, DWORD dwBufferLength) {
  auto dwordArg = [&](DWORD& out) -> bool {
    if (!lpBuffer) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    if (dwBufferLength != sizeof(DWORD)) {
      SetLastError(ERROR_INTERNET_BAD_OPTION_LENGTH);
      return false;
    }
    std::memcpy(&out, lpBuffer, sizeof out);
    return true;
  };
  if (!hInternet) {
    DWORD v = 0;
    switch (dwOption) {
      case INTERNET_OPTION_CONNECT_TIMEOUT:
      case INTERNET_OPTION_SEND_TIMEOUT:
      case INTERNET_OPTION_RECEIVE_TIMEOUT: {
        if (!dwordArg(v)) return FALSE;
        if (v == 0) return Fail(kErrorBadArguments);
        std::lock_guard<std::mutex> lock(SettingsMutex());
        (dwOption == INTERNET_OPTION_CONNECT_TIMEOUT ? Settings().m_connectTimeout
         : dwOption == INTERNET_OPTION_SEND_TIMEOUT  ? Settings().m_sendTimeout
                                                     : Settings().m_receiveTimeout) = v;
        return Ok();
      }
      case QMX_INTERNET_OPTION_TOTAL_TIMEOUT: {
        if (!dwordArg(v)) return FALSE;
        std::lock_guard<std::mutex> lock(SettingsMutex());
        Settings().m_totalTimeout = v;
        return Ok();
      }
      case INTERNET_OPTION_MAX_CONNS_PER_SERVER:
      case INTERNET_OPTION_MAX_CONNS_PER_PROXY: {
        if (!dwordArg(v)) return FALSE;
        if (v == 0) return Fail(ERROR_INVALID_PARAMETER);
        std::lock_guard<std::mutex> lock(SettingsMutex());
        (dwOption == INTERNET_OPTION_MAX_CONNS_PER_SERVER ? Settings().m_maxConnsPerServer
                                                          : Settings().m_maxConnsPerProxy) = v;
        return Ok();
      }
      case INTERNET_OPTION_END_BROWSER_SESSION:
        CacheClear();
        return Ok();
      case INTERNET_OPTION_SETTINGS_CHANGED:
      case INTERNET_OPTION_REFRESH:
        return Ok();
      case INTERNET_OPTION_CALLBACK:
      case INTERNET_OPTION_SECURITY_FLAGS:
      case INTERNET_OPTION_USERNAME:
      case INTERNET_OPTION_PASSWORD:
      case INTERNET_OPTION_PROXY_USERNAME:
      case INTERNET_OPTION_PROXY_PASSWORD:
      case INTERNET_OPTION_CONTEXT_VALUE:
      case INTERNET_OPTION_ERROR_MASK:
      case INTERNET_OPTION_HTTP_DECODING:
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      default:
        return Fail(ERROR_INTERNET_INVALID_OPTION);
    }
  }
  HandlePtr h = Find(hInternet);
  if (!h) return FALSE;
  DWORD v = 0;
  switch (dwOption) {
    case INTERNET_OPTION_CALLBACK:
      return Fail(ERROR_INTERNET_OPTION_NOT_SETTABLE);
    case INTERNET_OPTION_MAX_CONNS_PER_SERVER:
    case INTERNET_OPTION_MAX_CONNS_PER_PROXY:
      return Fail(ERROR_INTERNET_INVALID_OPERATION);  // process-wide only
    case INTERNET_OPTION_CONNECT_TIMEOUT:
    case INTERNET_OPTION_SEND_TIMEOUT:
    case INTERNET_OPTION_RECEIVE_TIMEOUT:
      if (!dwordArg(v)) return FALSE;
      if (v == 0 && h->m_kind == Kind::kRoot) return Fail(kErrorBadArguments);
      SetTimeout(h, dwOption, v);
      return Ok();
    case QMX_INTERNET_OPTION_TOTAL_TIMEOUT: {
      if (!dwordArg(v)) return FALSE;
      std::lock_guard<std::mutex> lock(h->m_mu);
      h->m_totalTimeout = v;  // 0 removes the limit
      return Ok();
    }
    case INTERNET_OPTION_CONTEXT_VALUE: {
      if (!lpBuffer || dwBufferLength != sizeof(DWORD_PTR)) return Fail(ERROR_INVALID_PARAMETER);
      std::lock_guard<std::mutex> lock(h->m_mu);
      std::memcpy(&h->m_context, lpBuffer, sizeof(DWORD_PTR));
      return Ok();
    }
    case INTERNET_OPTION_HTTP_DECODING: {
      if (!dwordArg(v)) return FALSE;
      std::lock_guard<std::mutex> lock(h->m_mu);
      h->m_decoding = v != 0;
      return Ok();
    }
    case INTERNET_OPTION_SECURITY_FLAGS:
    case INTERNET_OPTION_ERROR_MASK: {
      auto r = As<RequestObj>(h, Kind::kRequest);
      if (!r) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      if (!dwordArg(v)) return FALSE;
      std::lock_guard<std::mutex> lock(r->m_mu);
      if (dwOption == INTERNET_OPTION_ERROR_MASK)
        r->m_errorMask = v;
      else
        r->m_securityFlags |= v & kSettableSecurityFlags;  // bits are only ever added
      return Ok();
    }
    case INTERNET_OPTION_USERNAME:
    case INTERNET_OPTION_PASSWORD:
    case INTERNET_OPTION_PROXY_USERNAME:
    case INTERNET_OPTION_PROXY_PASSWORD: {
      if (h->m_kind == Kind::kRoot) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      if (!lpBuffer) return Fail(ERROR_INVALID_PARAMETER);
      std::string s = StringOption(lpBuffer);  // the length is not looked at
      bool proxy = dwOption == INTERNET_OPTION_PROXY_USERNAME || dwOption == INTERNET_OPTION_PROXY_PASSWORD;
      bool name = dwOption == INTERNET_OPTION_USERNAME || dwOption == INTERNET_OPTION_PROXY_USERNAME;
      if (h->m_kind == Kind::kConnect) {
        auto c = std::static_pointer_cast<ConnectObj>(h);
        std::lock_guard<std::mutex> lock(c->m_mu);
        (proxy ? (name ? c->m_proxyUser : c->m_proxyPassword) : (name ? c->m_user : c->m_password)) = s;
        return Ok();
      }
      auto r = std::static_pointer_cast<RequestObj>(h);
      Credentials pc;
      {
        std::lock_guard<std::mutex> lock(r->m_mu);
        (proxy ? (name ? r->m_proxyUser : r->m_proxyPassword) : (name ? r->m_user : r->m_password)) = s;
        pc = {r->m_proxyUser, r->m_proxyPassword, ""};
      }
      // Proxy credentials given to a request are remembered for its proxy at
      // once: a caller that answers a 407 by opening new handles finds them.
      if (proxy && !pc.user.empty() && !pc.password.empty()) {
        ProxyChoice route = RouteProxy(r);
        if (!route.none) CachePut(true, route.Key(), pc);
      }
      return Ok();
    }
    default:
      return Fail(ERROR_INTERNET_INVALID_OPTION);
  }
}

BOOL QueryOption(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, LPDWORD lpdwBufferLength) {
  if (!lpdwBufferLength) return Fail(ERROR_INVALID_PARAMETER);
  if (!hInternet) {
    std::unique_lock<std::mutex> lock(SettingsMutex());
    GlobalSettings s = Settings();
    lock.unlock();
    switch (dwOption) {
      case INTERNET_OPTION_CONNECT_TIMEOUT:
        return CopyDword(s.m_connectTimeout, lpBuffer, lpdwBufferLength);
      case INTERNET_OPTION_SEND_TIMEOUT:
        return CopyDword(s.m_sendTimeout, lpBuffer, lpdwBufferLength);
      case INTERNET_OPTION_RECEIVE_TIMEOUT:
        return CopyDword(s.m_receiveTimeout, lpBuffer, lpdwBufferLength);
      case QMX_INTERNET_OPTION_TOTAL_TIMEOUT:
        return CopyDword(s.m_totalTimeout, lpBuffer, lpdwBufferLength);
      case INTERNET_OPTION_MAX_CONNS_PER_SERVER:
        return CopyDword(s.m_maxConnsPerServer, lpBuffer, lpdwBufferLength);
      case INTERNET_OPTION_MAX_CONNS_PER_PROXY:
        return CopyDword(s.m_maxConnsPerProxy, lpBuffer, lpdwBufferLength);
      default:
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    }
  }
  HandlePtr h = Find(hInternet);
  if (!h) return FALSE;
  std::unique_lock<std::mutex> lock(h->m_mu);
  switch (dwOption) {
    case INTERNET_OPTION_HANDLE_TYPE:
      return CopyDword(static_cast<DWORD>(h->m_kind), lpBuffer, lpdwBufferLength);
    case INTERNET_OPTION_CONNECT_TIMEOUT:
      return CopyDword(h->m_connectTimeout, lpBuffer, lpdwBufferLength);
    case INTERNET_OPTION_SEND_TIMEOUT:
      return CopyDword(h->m_sendTimeout, lpBuffer, lpdwBufferLength);
    case INTERNET_OPTION_RECEIVE_TIMEOUT:
      return CopyDword(h->m_receiveTimeout, lpBuffer, lpdwBufferLength);
    case QMX_INTERNET_OPTION_TOTAL_TIMEOUT:
      return CopyDword(h->m_totalTimeout, lpBuffer, lpdwBufferLength);
    case INTERNET_OPTION_CONTEXT_VALUE:
      if (!lpBuffer || *lpdwBufferLength < sizeof(DWORD_PTR)) {
        *lpdwBufferLength = sizeof(DWORD_PTR);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
      }
      std::memcpy(lpBuffer, &h->m_context, sizeof(DWORD_PTR));
      *lpdwBufferLength = sizeof(DWORD_PTR);
      return Ok();
    case INTERNET_OPTION_SECURITY_FLAGS: {
      if (h->m_kind != Kind::kRequest) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      auto* r = static_cast<RequestObj*>(h.get());
      DWORD v = r->m_securityFlags;
      if (r->m_tlsDone) v |= SECURITY_FLAG_SECURE | SECURITY_FLAG_STRENGTH_STRONG;
      return CopyDword(v, lpBuffer, lpdwBufferLength);
    }
    case INTERNET_OPTION_URL: {
      if (h->m_kind != Kind::kRequest) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      std::string url = static_cast<RequestObj*>(h.get())->m_url;
      lock.unlock();
      return CopyText(url, lpBuffer, lpdwBufferLength);
    }
    case INTERNET_OPTION_USERNAME:
    case INTERNET_OPTION_PASSWORD:
    case INTERNET_OPTION_PROXY_USERNAME:
    case INTERNET_OPTION_PROXY_PASSWORD: {
      std::string s;
      bool name = dwOption == INTERNET_OPTION_USERNAME || dwOption == INTERNET_OPTION_PROXY_USERNAME;
      bool proxy = dwOption == INTERNET_OPTION_PROXY_USERNAME || dwOption == INTERNET_OPTION_PROXY_PASSWORD;
      if (h->m_kind == Kind::kConnect) {
        auto* c = static_cast<ConnectObj*>(h.get());
        s = proxy ? (name ? c->m_proxyUser : c->m_proxyPassword) : (name ? c->m_user : c->m_password);
      } else if (h->m_kind == Kind::kRequest) {
        auto* r = static_cast<RequestObj*>(h.get());
        s = proxy ? (name ? r->m_proxyUser : r->m_proxyPassword) : (name ? r->m_user : r->m_password);
      } else {
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
      }
      lock.unlock();
      return CopyText(s, lpBuffer, lpdwBufferLength);
    }
    default:
      return Fail(ERROR_INTERNET_INVALID_OPTION);
  }
}

}  // namespace
}  // namespace qmxinet

extern "C" {

BOOL WINAPI InternetSetOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, DWORD dwBufferLength) {
  return qmxinet::Firewall<BOOL>(FALSE,
                                 [&] { return qmxinet::SetOption(hInternet, dwOption, lpBuffer, dwBufferLength); });
}

BOOL WINAPI InternetQueryOptionA(HINTERNET hInternet, DWORD dwOption, LPVOID lpBuffer, LPDWORD lpdwBufferLength) {
  return qmxinet::Firewall<BOOL>(FALSE,
                                 [&] { return qmxinet::QueryOption(hInternet, dwOption, lpBuffer, lpdwBufferLength); });
}

}  // extern "C"
