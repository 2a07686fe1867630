// Last error and interlocked counters.
#include "windows.h"

namespace {

// Each thread has its own last error, as on Windows.
thread_local DWORD t_lastError = ERROR_SUCCESS;

}  // namespace

extern "C" {

DWORD GetLastError(void) { return t_lastError; }

void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

// Full barriers, like the Windows originals. The compiler builtins work on the
// caller's plain LONG, so existing counters need no change of type.
LONG InterlockedIncrement(LONG volatile* Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }

LONG InterlockedDecrement(LONG volatile* Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }

LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand) {
  LONG expected = Comperand;
  __atomic_compare_exchange_n(Destination, &expected, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return expected;  // the initial value, whether or not it was replaced
}

LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
  return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}

// There is no window system: nothing is ever in the foreground.
HWND GetForegroundWindow(void) { return nullptr; }

}  // extern "C"
