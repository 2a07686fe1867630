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

using Component = std::pair<LPSTR URL_COMPONENTSA::*, DWORD URL_COMPONENTSA::*>;
const Component kComponents[] = {
    {&URL_COMPONENTSA::lpszScheme, &URL_COMPONENTSA::dwSchemeLength},
    {&URL_COMPONENTSA::lpszHostName, &URL_COMPONENTSA::dwHostNameLength},
    {&URL_COMPONENTSA::lpszUserName, &URL_COMPONENTSA::dwUserNameLength},
    {&URL_COMPONENTSA::lpszPassword, &URL_COMPONENTSA::dwPasswordLength},
    {&URL_COMPONENTSA::lpszUrlPath, &URL_COMPONENTSA::dwUrlPathLength},
    {&URL_COMPONENTSA::lpszExtraInfo, &URL_COMPONENTSA::dwExtraInfoLength},  // last: asked for or not
};

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
  const bool passLength = (opt & 1) && n > 0, withExtra = opt & 2, pointers = opt & 4;
  const std::string text(url.get(), strnlen(url.get(), n));
  // Pointers into the URL, or the transport's 2048-byte buffers, or small
  // ones (1 to 16 bytes), each a heap block of its own.
  const size_t bufSize = pointers ? 0 : (opt & 8) ? 2048 : 1 + (opt >> 4);
  URL_COMPONENTSA uc{};
  uc.dwStructSize = sizeof uc;
  std::vector<char> bufs[6];
  for (size_t i = 0; i < (withExtra ? 6u : 5u); ++i) {
    bufs[i].assign(bufSize, '\x7f');
    uc.*kComponents[i].first = pointers ? nullptr : bufs[i].data();
    uc.*kComponents[i].second = pointers ? 1 : static_cast<DWORD>(bufSize);
  }
  if (!InternetCrackUrlA(url.get(), passLength ? static_cast<DWORD>(n) : 0, 0, &uc)) {
    QMX_FUZZ_CHECK(GetLastError() != 0, "failure without an error");
    return 0;
  }
  for (const Component& c : kComponents) {
    const char* p = uc.*c.first;
    const DWORD len = uc.*c.second;
    if (!p) continue;
    if (pointers) {
      QMX_FUZZ_CHECK(p >= url.get() && p + len <= url.get() + n, "outside");
    } else {
      QMX_FUZZ_CHECK(len < bufSize && std::strlen(p) == len, "component not terminated at its length in its buffer");
      QMX_FUZZ_CHECK(text.find(std::string(p, len)) != std::string::npos, "not taken from the URL");
    }
  }
  QMX_FUZZ_CHECK(uc.lpszScheme && uc.dwSchemeLength > 0 &&
                     text.compare(0, uc.dwSchemeLength, uc.lpszScheme, uc.dwSchemeLength) == 0,
                 "scheme is not the start");
  // Nothing is lost: path and extra information are the end of the URL.
  const std::string tail = withExtra && !pointers ? std::string(uc.lpszUrlPath) + uc.lpszExtraInfo : "";
  QMX_FUZZ_CHECK(text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0,
                 "path and extra are not the end");
  return 0;
}
