// InternetCrackUrlA on fuzzed URLs, with the components asked for in the
// three ways callers use: copied into buffers (large ones as the transport
// passes, and small ones that must be refused without an overrun), pointed
// at inside the input, or not asked for.
//
// Input: one byte of options, then the URL.
#include <cstring>
#include <memory>

#include "FuzzCommon.h"
#include "wininet.h"

namespace {

struct Buffers {
  std::vector<char> scheme, host, user, password, path, extra;
};

void Setup(URL_COMPONENTSA& uc, Buffers& b, size_t size, bool pointers, bool withExtra) {
  std::memset(&uc, 0, sizeof uc);
  uc.dwStructSize = sizeof uc;
  auto one = [&](std::vector<char>& buf, LPSTR& p, DWORD& len) {
    if (pointers) {
      p = nullptr;
      len = 1;
    } else {
      buf.assign(size, '\x7f');
      p = buf.data();
      len = static_cast<DWORD>(size);
    }
  };
  one(b.scheme, uc.lpszScheme, uc.dwSchemeLength);
  one(b.host, uc.lpszHostName, uc.dwHostNameLength);
  one(b.user, uc.lpszUserName, uc.dwUserNameLength);
  one(b.password, uc.lpszPassword, uc.dwPasswordLength);
  one(b.path, uc.lpszUrlPath, uc.dwUrlPathLength);
  if (withExtra) one(b.extra, uc.lpszExtraInfo, uc.dwExtraInfoLength);
}

// Every component asked for: where it is and how long.
std::vector<std::pair<LPSTR, DWORD>> Parts(const URL_COMPONENTSA& uc) {
  return {{uc.lpszScheme, uc.dwSchemeLength},     {uc.lpszHostName, uc.dwHostNameLength},
          {uc.lpszUserName, uc.dwUserNameLength}, {uc.lpszPassword, uc.dwPasswordLength},
          {uc.lpszUrlPath, uc.dwUrlPathLength},   {uc.lpszExtraInfo, uc.dwExtraInfoLength}};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 8192) return 0;
  const uint8_t opt = data[0];
  // A heap copy of exactly the URL's bytes (no terminator when the length is
  // passed), so that reading past it is caught.
  const size_t n = size - 1;
  std::unique_ptr<char[]> url(new char[n + 1]);
  std::memcpy(url.get(), data + 1, n);
  url[n] = '\0';
  const bool passLength = (opt & 1) && n > 0;
  const std::string text(url.get(), strnlen(url.get(), n));

  const bool withExtra = opt & 2;
  URL_COMPONENTSA uc;
  Buffers b;
  if (opt & 4) {
    Setup(uc, b, 0, true, withExtra);
    if (InternetCrackUrlA(url.get(), passLength ? static_cast<DWORD>(n) : 0, 0, &uc)) {
      for (const auto& part : Parts(uc))
        if (part.first) QMX_FUZZ_CHECK(part.first >= url.get() && part.first + part.second <= url.get() + n, "outside");
      QMX_FUZZ_CHECK(uc.dwSchemeLength > 0, "cracked without a scheme");
    }
    return 0;
  }
  // The transport's 2048-byte buffers, or small ones (1 to 16 bytes).
  const size_t bufSize = (opt & 8) ? 2048 : 1 + (opt >> 4);
  Setup(uc, b, bufSize, false, withExtra);
  if (InternetCrackUrlA(url.get(), passLength ? static_cast<DWORD>(n) : 0, 0, &uc)) {
    for (const auto& part : Parts(uc)) {
      if (!part.first) continue;
      QMX_FUZZ_CHECK(part.second < bufSize, "component longer than its buffer");
      QMX_FUZZ_CHECK(std::strlen(part.first) == part.second, "component not terminated at its length");
      QMX_FUZZ_CHECK(text.find(std::string(part.first, part.second)) != std::string::npos, "not taken from the URL");
    }
    // Nothing is lost: the parts put back together give the URL (the user
    // information and the port are not part of the check).
    if (withExtra) {
      const std::string tail = std::string(uc.lpszUrlPath) + uc.lpszExtraInfo;
      QMX_FUZZ_CHECK(text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0,
                     "path and extra information are not the end of the URL");
    }
    QMX_FUZZ_CHECK(text.compare(0, std::strlen(uc.lpszScheme), uc.lpszScheme) == 0, "scheme is not the start");
  } else {
    const DWORD err = GetLastError();
    QMX_FUZZ_CHECK(err != 0, "failure without an error");
  }
  return 0;
}
