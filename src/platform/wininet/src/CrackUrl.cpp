// InternetCrackUrlA: splits a URL the way WinINet does, without
// normalising anything (scheme case kept, no dot-segment removal, the
// query and fragment kept together as the extra information).
#include <cctype>
#include <cstring>

#include "ProxyAuth.h"
#include "Firewall.h"

namespace qmxinet {
namespace {

struct Part {
  const char* p = nullptr;
  size_t n = 0;
};

INTERNET_SCHEME SchemeNumber(const Part& s) {
  static const struct {
    const char* name;
    INTERNET_SCHEME value;
  } kSchemes[] = {{"ftp", INTERNET_SCHEME_FTP},
                  {"gopher", INTERNET_SCHEME_GOPHER},
                  {"http", INTERNET_SCHEME_HTTP},
                  {"https", INTERNET_SCHEME_HTTPS},
                  {"file", INTERNET_SCHEME_FILE},
                  {"news", INTERNET_SCHEME_NEWS},
                  {"mailto", INTERNET_SCHEME_MAILTO},
                  {"socks", INTERNET_SCHEME_SOCKS},
                  {"javascript", INTERNET_SCHEME_JAVASCRIPT},
                  {"vbscript", INTERNET_SCHEME_VBSCRIPT},
                  {"res", INTERNET_SCHEME_RES}};
  for (const auto& k : kSchemes)
    if (std::strlen(k.name) == s.n && strncasecmp(k.name, s.p, s.n) == 0) return k.value;
  return INTERNET_SCHEME_UNKNOWN;
}

// Hands one component to the caller: not asked for (length 0), pointed at
// inside the input (null pointer), or copied with a NUL.
bool Store(const Part& part, LPSTR& ptr, DWORD& len, const char* base) {
  if (len == 0) return true;
  if (!ptr) {
    ptr = const_cast<LPSTR>(part.p ? part.p : base);
    len = static_cast<DWORD>(part.n);
    return true;
  }
  if (len < part.n + 1) {
    len = static_cast<DWORD>(part.n + 1);
    return false;
  }
  if (part.n) std::memcpy(ptr, part.p, part.n);
  ptr[part.n] = '\0';
  len = static_cast<DWORD>(part.n);
  return true;
}

}  // namespace

BOOL CrackUrl(LPCSTR lpszUrl, DWORD dwUrlLength, LPURL_COMPONENTSA uc) {
  if (!lpszUrl || !uc || uc->dwStructSize != sizeof(URL_COMPONENTSA)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  size_t n = dwUrlLength ? strnlen(lpszUrl, dwUrlLength) : std::strlen(lpszUrl);
  const char* s = lpszUrl;
  const char* end = s + n;
  if (n == 0) {
    SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
    return FALSE;
  }
  // Scheme: letters, digits, '+', '-', '.' up to the first ':'.
  const char* colon = s;
  while (colon < end && *colon != ':') {
    unsigned char c = static_cast<unsigned char>(*colon);
    if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') {
      SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
      return FALSE;
    }
    ++colon;
  }
  if (colon == end || colon == s) {
    SetLastError(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
    return FALSE;
  }
  Part scheme{s, static_cast<size_t>(colon - s)};
  INTERNET_SCHEME number = SchemeNumber(scheme);
  Part user, password, host, path, extra;
  INTERNET_PORT port = 0;
  const char* p = colon + 1;
  // Extra information starts at the first '?', or else the first '#'.
  const char* ex = static_cast<const char*>(std::memchr(p, '?', end - p));
  if (!ex) ex = static_cast<const char*>(std::memchr(p, '#', end - p));
  if (!ex) ex = end;
  bool explicitPort = false;
  if (end - p >= 2 && p[0] == '/' && p[1] == '/') {
    p += 2;
    const char* authEnd = p;
    while (authEnd < ex && *authEnd != '/') ++authEnd;
    const char* at = nullptr;
    for (const char* q = p; q < authEnd; ++q)
      if (*q == '@') at = q;
    const char* hp = p;
    if (at) {
      const char* pc = nullptr;
      for (const char* q = p; q < at; ++q)
        if (*q == ':') pc = q;
      if (pc) {
        user = {p, static_cast<size_t>(pc - p)};
        password = {pc + 1, static_cast<size_t>(at - pc - 1)};
      } else {
        user = {p, static_cast<size_t>(at - p)};
        password = {at, 0};
      }
      hp = at + 1;
    }
    const char* pc = nullptr;
    for (const char* q = hp; q < authEnd; ++q) {
      if (*q == ']') pc = nullptr;
      if (*q == ':') pc = q;
    }
    if (pc) {
      host = {hp, static_cast<size_t>(pc - hp)};
      unsigned v = 0;
      for (const char* q = pc + 1; q < authEnd && std::isdigit(static_cast<unsigned char>(*q)); ++q)
        v = v * 10 + (*q - '0');
      port = static_cast<INTERNET_PORT>(v);
      explicitPort = true;
    } else {
      host = {hp, static_cast<size_t>(authEnd - hp)};
    }
    p = authEnd;
  } else {
    host = {p, 0};
  }
  if (!explicitPort) {
    if (number == INTERNET_SCHEME_HTTP)
      port = INTERNET_DEFAULT_HTTP_PORT;
    else if (number == INTERNET_SCHEME_HTTPS)
      port = INTERNET_DEFAULT_HTTPS_PORT;
    else if (number == INTERNET_SCHEME_FTP)
      port = INTERNET_DEFAULT_FTP_PORT;
  }
  if (uc->dwExtraInfoLength) {
    path = {p, static_cast<size_t>(ex - p)};
    extra = {ex, static_cast<size_t>(end - ex)};
  } else {
    path = {p, static_cast<size_t>(end - p)};  // extra stays in the path
  }
  bool ok = Store(scheme, uc->lpszScheme, uc->dwSchemeLength, s);
  ok = Store(host, uc->lpszHostName, uc->dwHostNameLength, p) && ok;
  ok = Store(user, uc->lpszUserName, uc->dwUserNameLength, p) && ok;
  ok = Store(password, uc->lpszPassword, uc->dwPasswordLength, p) && ok;
  ok = Store(path, uc->lpszUrlPath, uc->dwUrlPathLength, p) && ok;
  ok = Store(extra, uc->lpszExtraInfo, uc->dwExtraInfoLength, end) && ok;
  uc->nScheme = number;
  uc->nPort = port;
  if (!ok) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace qmxinet

extern "C" BOOL WINAPI InternetCrackUrlA(LPCSTR lpszUrl, DWORD dwUrlLength, DWORD, LPURL_COMPONENTSA uc) {
  return qmxinet::Firewall<BOOL>(FALSE, [&] { return qmxinet::CrackUrl(lpszUrl, dwUrlLength, uc); });
}
