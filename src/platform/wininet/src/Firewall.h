// The exception firewall. No exception may leave the layer: not through an
// entry point (the caller is C), not out of a libcurl callback (C code in
// between), not out of the worker thread (std::terminate).
// Each boundary runs its body through one of these helpers.
#ifndef QMX_WININET_FIREWALL_H
#define QMX_WININET_FIREWALL_H

#include <new>

#include "wininet.h"

namespace qmxinet {

// Inside a catch block: the WinINet error the exception in flight stands
// for (ERROR_NOT_ENOUGH_MEMORY for std::bad_alloc, else ERROR_INTERNAL_ERROR).
DWORD CurrentExceptionError() noexcept;

// Entry points: runs body(); an exception sets the mapped last error and
// gives the function's failure value instead.
template <class R, class Body>
R Firewall(R failure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    SetLastError(CurrentExceptionError());
    return failure;
  }
}

// Boundaries that have nobody to tell (threads, callbacks that cannot
// report failure): runs body(); an exception gives its mapped error, else 0.
template <class Body>
DWORD Contain(Body&& body) noexcept {
  try {
    body();
    return 0;
  } catch (...) {
    return CurrentExceptionError();
  }
}

}  // namespace qmxinet

#endif
