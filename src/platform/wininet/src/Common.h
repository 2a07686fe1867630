// Constants, process-wide defaults and small text helpers shared by every
// part of the WinINet layer, and the layer's clock.
#ifndef QMX_WININET_COMMON_H
#define QMX_WININET_COMMON_H

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "qmxwininet_ext.h"
#include "wininet.h"

namespace qmxinet {

constexpr DWORD kErrorBadArguments = 160;  // ERROR_BAD_ARGUMENTS
constexpr DWORD kInfinite = 0xFFFFFFFF;
// All header-block bytes of one reply (status lines and headers of every
// redirect or authentication hop, 1xx blocks, trailers of a chunked body)
// together: beyond this the server is not answering HTTP any more and the
// request fails with ERROR_HTTP_INVALID_SERVER_RESPONSE, before the
// collected lines can grow without end.
constexpr size_t kMaxReplyHeaderBytes = 256 * 1024;
// Security-flag bits a caller may set: the certificate errors to forgive
// and the two scheme changes on redirect to allow.
constexpr DWORD kSettableSecurityFlags =
    SECURITY_SET_MASK | SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTP | SECURITY_FLAG_IGNORE_REDIRECT_TO_HTTPS;
// Flow control: above this many unread bytes the transfer is paused; it
// resumes once the reader has brought it under half of it.
constexpr size_t kHighWater = 256 * 1024;
constexpr size_t kLowWater = kHighWater / 2;

// Defaults every new root starts from (changed with a null handle).
// Any thread, under SettingsMutex(); one process-wide instance.
struct GlobalSettings {
  DWORD m_connectTimeout = 60000;
  DWORD m_sendTimeout = 30000;
  // An inactivity limit, not a total time: one hour, well above the
  // module's own 120-second sweep of asynchronous requests.
  DWORD m_receiveTimeout = 3600000;
  DWORD m_totalTimeout = 0;  // QMX_INTERNET_OPTION_TOTAL_TIMEOUT: none
  DWORD m_maxConnsPerServer = 6;
  DWORD m_maxConnsPerProxy = 4;
};
GlobalSettings& Settings();
std::mutex& SettingsMutex();

// The layer's deadlines read the process clock of the Win32 layer (the one
// behind GetTickCount), so that a test in manual clock mode drives them.
using Millis = uint64_t;
constexpr Millis kNever = UINT64_MAX;
Millis NowMs();

// One received reply header. Worker thread while a reply is read, then
// owned by its RequestObj under the request's lock.
struct ResponseHeader {
  std::string name, value;
};
const ResponseHeader* FindHeader(const std::vector<ResponseHeader>& h, const char* name);
// The text up to the first blank or comma: the scheme of a challenge.
std::string FirstToken(const std::string& s);
// The realm parameter of the named challenge header; its scheme to *scheme.
std::string FindChallengeParam(const std::vector<ResponseHeader>& headers, const char* name, std::string* scheme);

// Cuts a caller's header text into lines at '\n', each without its CR and
// trailing blanks (and, with trimLeading, leading blanks); empty lines are
// left out.
std::vector<std::string> SplitHeaderLines(const std::string& text, bool trimLeading);

}  // namespace qmxinet

#endif
