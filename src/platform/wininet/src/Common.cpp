// Process-wide defaults, the layer's clock, the exception mapping and the
// text helpers shared by the entry points and the worker.
#include "Common.h"

#include <strings.h>

#include <exception>
#include <new>

#include "Firewall.h"
#include "qmxclock.h"

namespace qmxinet {

GlobalSettings& Settings() {
  static GlobalSettings s;
  return s;
}

std::mutex& SettingsMutex() {
  static std::mutex m;
  return m;
}

Millis NowMs() { return QmxClockNowMs(); }

DWORD CurrentExceptionError() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  } catch (...) {
    return ERROR_INTERNAL_ERROR;
  }
}

const ResponseHeader* FindHeader(const std::vector<ResponseHeader>& h, const char* name) {
  for (const auto& x : h)
    if (strcasecmp(x.name.c_str(), name) == 0) return &x;
  return nullptr;
}

std::string FirstToken(const std::string& s) {
  size_t end = s.find_first_of(" \t,");
  return s.substr(0, end);
}

std::vector<std::string> SplitHeaderLines(const std::string& text, bool trimLeading) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string l = text.substr(start, end - start);
    start = end + 1;
    if (trimLeading) {
      // HttpAddRequestHeadersA: blanks and line ends on both sides.
      size_t b = l.find_first_not_of(" \t\r\n");
      if (b == std::string::npos) continue;
      size_t e = l.find_last_not_of(" \t\r\n");
      l = l.substr(b, e - b + 1);
    } else {
      // HttpSendRequestA: only the CR and trailing spaces go.
      while (!l.empty() && (l.back() == '\r' || l.back() == ' ')) l.pop_back();
    }
    if (!l.empty()) lines.push_back(std::move(l));
  }
  return lines;
}

std::string FindChallengeParam(const std::vector<ResponseHeader>& headers, const char* name, std::string* scheme) {
  const ResponseHeader* h = FindHeader(headers, name);
  if (!h) return std::string();
  if (scheme) *scheme = FirstToken(h->value);
  const std::string& v = h->value;
  size_t p = 0;
  while ((p = v.find("realm", p)) != std::string::npos) {
    size_t eq = v.find_first_not_of(" \t", p + 5);
    if (eq == std::string::npos || v[eq] != '=') {
      p += 5;
      continue;
    }
    size_t s = v.find_first_not_of(" \t", eq + 1);
    if (s == std::string::npos) return std::string();
    if (v[s] == '"') {
      size_t e = v.find('"', s + 1);
      return v.substr(s + 1, e == std::string::npos ? std::string::npos : e - s - 1);
    }
    size_t e = v.find_first_of(", \t", s);
    return v.substr(s, e == std::string::npos ? std::string::npos : e - s);
  }
  return std::string();
}

}  // namespace qmxinet
