// HttpQueryInfoA: the final reply's status, version, raw header block and
// single headers, by level or by name.
#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "ApiSupport.h"

namespace qmxinet {
namespace {

// Names of the header levels answered from the reply's header list.
const char* LevelName(DWORD level) {
  switch (level) {
    case HTTP_QUERY_MIME_VERSION:
      return "MIME-Version";
    case HTTP_QUERY_CONTENT_TYPE:
      return "Content-Type";
    case HTTP_QUERY_CONTENT_TRANSFER_ENCODING:
      return "Content-Transfer-Encoding";
    case HTTP_QUERY_CONTENT_ID:
      return "Content-ID";
    case HTTP_QUERY_CONTENT_DESCRIPTION:
      return "Content-Description";
    case HTTP_QUERY_CONTENT_LENGTH:
      return "Content-Length";
    case HTTP_QUERY_CONTENT_LANGUAGE:
      return "Content-Language";
    case HTTP_QUERY_ALLOW:
      return "Allow";
    case HTTP_QUERY_PUBLIC:
      return "Public";
    case HTTP_QUERY_DATE:
      return "Date";
    case HTTP_QUERY_EXPIRES:
      return "Expires";
    case HTTP_QUERY_LAST_MODIFIED:
      return "Last-Modified";
    case HTTP_QUERY_MESSAGE_ID:
      return "Message-Id";
    case HTTP_QUERY_URI:
      return "URI";
    case HTTP_QUERY_DERIVED_FROM:
      return "Derived-From";
    case HTTP_QUERY_COST:
      return "Cost";
    case HTTP_QUERY_LINK:
      return "Link";
    case HTTP_QUERY_PRAGMA:
      return "Pragma";
    case HTTP_QUERY_CONNECTION:
      return "Connection";
    case HTTP_QUERY_ACCEPT:
      return "Accept";
    case HTTP_QUERY_ACCEPT_CHARSET:
      return "Accept-Charset";
    case HTTP_QUERY_ACCEPT_ENCODING:
      return "Accept-Encoding";
    case HTTP_QUERY_ACCEPT_LANGUAGE:
      return "Accept-Language";
    case HTTP_QUERY_AUTHORIZATION:
      return "Authorization";
    case HTTP_QUERY_CONTENT_ENCODING:
      return "Content-Encoding";
    case HTTP_QUERY_FORWARDED:
      return "Forwarded";
    case HTTP_QUERY_FROM:
      return "From";
    case HTTP_QUERY_IF_MODIFIED_SINCE:
      return "If-Modified-Since";
    case HTTP_QUERY_LOCATION:
      return "Location";
    case HTTP_QUERY_ORIG_URI:
      return "Orig-Uri";
    case HTTP_QUERY_REFERER:
      return "Referer";
    case HTTP_QUERY_RETRY_AFTER:
      return "Retry-After";
    case HTTP_QUERY_SERVER:
      return "Server";
    case HTTP_QUERY_TITLE:
      return "Title";
    case HTTP_QUERY_USER_AGENT:
      return "User-Agent";
    case HTTP_QUERY_WWW_AUTHENTICATE:
      return "WWW-Authenticate";
    case HTTP_QUERY_PROXY_AUTHENTICATE:
      return "Proxy-Authenticate";
    case HTTP_QUERY_ACCEPT_RANGES:
      return "Accept-Ranges";
    case HTTP_QUERY_SET_COOKIE:
      return "Set-Cookie";
    case HTTP_QUERY_COOKIE:
      return "Cookie";
    case HTTP_QUERY_REFRESH:
      return "Refresh";
    case HTTP_QUERY_CONTENT_DISPOSITION:
      return "Content-Disposition";
    case HTTP_QUERY_AGE:
      return "Age";
    case HTTP_QUERY_CACHE_CONTROL:
      return "Cache-Control";
    case HTTP_QUERY_CONTENT_BASE:
      return "Content-Base";
    case HTTP_QUERY_CONTENT_LOCATION:
      return "Content-Location";
    case HTTP_QUERY_CONTENT_MD5:
      return "Content-MD5";
    case HTTP_QUERY_CONTENT_RANGE:
      return "Content-Range";
    case HTTP_QUERY_ETAG:
      return "ETag";
    case HTTP_QUERY_HOST:
      return "Host";
    case HTTP_QUERY_IF_MATCH:
      return "If-Match";
    case HTTP_QUERY_IF_NONE_MATCH:
      return "If-None-Match";
    case HTTP_QUERY_IF_RANGE:
      return "If-Range";
    case HTTP_QUERY_IF_UNMODIFIED_SINCE:
      return "If-Unmodified-Since";
    case HTTP_QUERY_MAX_FORWARDS:
      return "Max-Forwards";
    case HTTP_QUERY_PROXY_AUTHORIZATION:
      return "Proxy-Authorization";
    case HTTP_QUERY_RANGE:
      return "Range";
    case HTTP_QUERY_TRANSFER_ENCODING:
      return "Transfer-Encoding";
    case HTTP_QUERY_UPGRADE:
      return "Upgrade";
    case HTTP_QUERY_VARY:
      return "Vary";
    case HTTP_QUERY_VIA:
      return "Via";
    case HTTP_QUERY_WARNING:
      return "Warning";
    case HTTP_QUERY_EXPECT:
      return "Expect";
    case HTTP_QUERY_PROXY_CONNECTION:
      return "Proxy-Connection";
    case HTTP_QUERY_UNLESS_MODIFIED_SINCE:
      return "Unless-Modified-Since";
    case HTTP_QUERY_PROXY_SUPPORT:
      return "Proxy-Support";
    case HTTP_QUERY_AUTHENTICATION_INFO:
      return "Authentication-Info";
    default:
      return nullptr;
  }
}

BOOL QueryInfo(HINTERNET hRequest, DWORD dwInfoLevel, LPVOID lpBuffer, LPDWORD lpdwBufferLength, LPDWORD lpdwIndex) {
  RequestPtr r = FindRequest(hRequest);
  if (!r) return FALSE;
  if (!lpdwBufferLength) return Fail(ERROR_INVALID_PARAMETER);
  DWORD level = dwInfoLevel & HTTP_QUERY_HEADER_MASK;
  DWORD mods = dwInfoLevel & HTTP_QUERY_MODIFIER_FLAGS_MASK;
  bool number = mods & HTTP_QUERY_FLAG_NUMBER;
  DWORD index = lpdwIndex ? *lpdwIndex : 0;
  if (mods & HTTP_QUERY_FLAG_REQUEST_HEADERS) {
    if (level == HTTP_QUERY_STATUS_CODE || level == HTTP_QUERY_STATUS_TEXT || level == HTTP_QUERY_VERSION)
      return Fail(ERROR_HTTP_INVALID_QUERY_REQUEST);
    return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
  }
  std::unique_lock<std::mutex> lock(r->m_mu);
  if (r->m_phase == RequestObj::Phase::kSending && level != HTTP_QUERY_STATUS_CODE)
    return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
  bool haveReply = r->m_phase == RequestObj::Phase::kHeaders;
  std::string text;
  switch (level) {
    case HTTP_QUERY_STATUS_CODE: {
      if (index > 0) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
      DWORD status = haveReply ? r->m_status : 0;
      lock.unlock();
      if (number) return CopyDword(status, lpBuffer, lpdwBufferLength);
      return CopyText(std::to_string(status), lpBuffer, lpdwBufferLength);
    }
    case HTTP_QUERY_STATUS_TEXT:
    case HTTP_QUERY_VERSION:
      if (!haveReply || index > 0) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
      text = level == HTTP_QUERY_STATUS_TEXT ? r->m_statusText : r->m_versionText;
      break;
    case HTTP_QUERY_RAW_HEADERS:
    case HTTP_QUERY_RAW_HEADERS_CRLF: {
      if (!haveReply) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
      bool crlf = level == HTTP_QUERY_RAW_HEADERS_CRLF;
      for (const auto& l : r->m_rawLines) text += l + (crlf ? std::string("\r\n") : std::string(1, '\0'));
      text += crlf ? std::string("\r\n") : std::string(1, '\0');
      lock.unlock();
      if (number) return Fail(ERROR_HTTP_INVALID_HEADER);
      if (!lpBuffer || *lpdwBufferLength < text.size() + 1) {
        *lpdwBufferLength = static_cast<DWORD>(text.size() + 1);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
      }
      std::memcpy(lpBuffer, text.data(), text.size());
      static_cast<char*>(lpBuffer)[text.size()] = '\0';
      *lpdwBufferLength = static_cast<DWORD>(text.size());
      return Ok();
    }
    default: {
      std::string name;
      if (level == HTTP_QUERY_CUSTOM) {
        if (!lpBuffer) return Fail(ERROR_INVALID_PARAMETER);
        name = std::string(static_cast<const char*>(lpBuffer),
                           strnlen(static_cast<const char*>(lpBuffer), *lpdwBufferLength));
      } else if (const char* n = LevelName(level)) {
        name = n;
      } else {
        return Fail(ERROR_HTTP_INVALID_QUERY_REQUEST);
      }
      if (!haveReply) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
      DWORD seen = 0;
      bool found = false;
      for (const auto& h : r->m_headers) {
        if (strcasecmp(h.name.c_str(), name.c_str()) != 0) continue;
        if (seen++ == index) {
          text = h.value;
          found = true;
          break;
        }
      }
      if (!found) return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
      break;
    }
  }
  lock.unlock();
  BOOL ok;
  if (number) {
    char* end = nullptr;
    unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (v > 0xFFFFFFFFull) return Fail(ERROR_HTTP_INVALID_HEADER);
    ok = CopyDword(static_cast<DWORD>(v), lpBuffer, lpdwBufferLength);
  } else {
    ok = CopyText(text, lpBuffer, lpdwBufferLength);
  }
  if (ok && lpdwIndex) ++*lpdwIndex;
  return ok;
}

}  // namespace
}  // namespace qmxinet

extern "C" BOOL WINAPI HttpQueryInfoA(HINTERNET hRequest, DWORD dwInfoLevel, LPVOID lpBuffer, LPDWORD lpdwBufferLength,
                                      LPDWORD lpdwIndex) {
  return qmxinet::Firewall<BOOL>(
      FALSE, [&] { return qmxinet::QueryInfo(hRequest, dwInfoLevel, lpBuffer, lpdwBufferLength, lpdwIndex); });
}
