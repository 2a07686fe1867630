// The one clock behind GetTickCount and the framework's timers. Tests switch
// it to manual mode and advance it, so that long time-outs are exercised in
// milliseconds of real time.
#ifndef QMX_WIN32_QMXCLOCK_H
#define QMX_WIN32_QMXCLOCK_H

#include <stdint.h>

#include "windows.h"

#ifdef __cplusplus
extern "C" {
#endif

// Milliseconds on a monotonic clock (CLOCK_MONOTONIC), or the manual clock.
QMX_WIN32_API uint64_t QmxClockNowMs(void);
// Manual mode: the clock stands still at startMs until advanced. Off again:
// back to the monotonic clock.
QMX_WIN32_API void QmxClockSetManual(int on, uint64_t startMs);
QMX_WIN32_API int QmxClockIsManual(void);
// Moves the manual clock forward; no effect in real mode.
QMX_WIN32_API void QmxClockAdvance(uint64_t ms);

#ifdef __cplusplus
}
#endif

#endif
