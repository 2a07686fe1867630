// Out of memory at every allocation of the main entry points: the n-th
// allocation on the test thread throws std::bad_alloc, for n = 1, 2, ...
// until the call gets through. Each attempt must fail cleanly (FALSE or
// NULL with ERROR_NOT_ENOUGH_MEMORY) or succeed; never crash, hang or leak
// (the sanitizer builds check the last two).
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "qmxwininet_ext.h"
#include "wininet.h"

namespace {

// Allocations left before the failing one on this thread; 0: not armed.
thread_local size_t t_countdown = 0;
thread_local bool t_injected = false;

void* Allocate(size_t size) {
  if (t_countdown && --t_countdown == 0) {
    t_injected = true;
    throw std::bad_alloc();
  }
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(size_t size) { return Allocate(size); }
void* operator new[](size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

namespace {

struct Handles {
  HINTERNET root = nullptr, conn = nullptr, req = nullptr;
};

// One entry point; returns whether the call succeeded. `h` holds handles
// made by earlier rows' successful calls. A call whose normal outcome is a
// failure names that error. The bypass list sends 127.0.0.1 direct, to a
// port where nothing listens.
struct EntryCase {
  const char* name;
  std::function<bool(Handles&)> call;
  DWORD normalError = 0;
};

std::vector<EntryCase> Cases() {
  return {
      {"InternetOpenA",
       [](Handles& h) {
         return (h.root = InternetOpenA("agent", INTERNET_OPEN_TYPE_PROXY, "http=127.0.0.1:3128 socks=127.0.0.1:1080",
                                        "<local>;*.example;127.0.0.1", 0)) != nullptr;
       }},
      {"InternetConnectA",
       [](Handles& h) {
         return (h.conn = InternetConnectA(h.root, "127.0.0.1", 1, "user", "pass", INTERNET_SERVICE_HTTP, 0, 7)) !=
                nullptr;
       }},
      {"HttpOpenRequestA",
       [](Handles& h) {
         LPCSTR accept[] = {"text/xml", "*/*", nullptr};
         return (h.req = HttpOpenRequestA(h.conn, "POST", "/a b\\c", nullptr, "http://127.0.0.1/", accept,
                                          INTERNET_FLAG_RELOAD, 9)) != nullptr;
       }},
      {"HttpSendRequestA", [](Handles& h) { return HttpSendRequestA(h.req, nullptr, 0, nullptr, 0) != FALSE; },
       ERROR_INTERNET_CANNOT_CONNECT},
      {"InternetReadFile",
       [](Handles& h) {
         char buf[16];
         DWORD got = 0;
         return InternetReadFile(h.req, buf, sizeof buf, &got) != FALSE;
       },
       ERROR_INTERNET_INCORRECT_HANDLE_STATE},
      {"InternetCloseHandle(root)", [](Handles& h) { return InternetCloseHandle(h.root) != FALSE; }},
  };
}

TEST(AllocFail, EntryPointsFailCleanlyOrSucceed) {
  Handles h;
  for (const EntryCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    bool done = false;
    for (size_t n = 1; n < 10000 && !done; ++n) {
      t_injected = false;
      t_countdown = n;
      const bool ok = c.call(h);
      const DWORD err = GetLastError();
      t_countdown = 0;
      if (!t_injected) {
        EXPECT_EQ(ok, c.normalError == 0) << "without a failure injected, error " << err;
        EXPECT_EQ(ok ? 0 : err, c.normalError);
      } else if (!ok) {
        ASSERT_EQ(err, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY)) << "allocation " << n;
      }
      // Done in spite of a failure (a close whose report was lost): a call
      // that succeeded is not repeated.
      done = ok || !t_injected;
    }
    EXPECT_TRUE(done);
  }
}

}  // namespace
