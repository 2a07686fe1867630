// Common definitions of the qmxframework runtime library.
#ifndef QMX_RTDEFINES_H
#define QMX_RTDEFINES_H

#include <stdint.h>

#if defined(QMX_FRAMEWORK_BUILD)
#define QMX_FRAMEWORK_API __attribute__((visibility("default")))
#else
#define QMX_FRAMEWORK_API __attribute__((visibility("default")))
#endif

typedef int RtResult;
#define RT_OK 0
// Result codes the framework itself returns (timers, event queues, thread
// manager), numbered from 20000 so that none shares a number with the
// conference module's results (QmxResult in ConfWebaResults.h, 4001 to
// 10099); the module never hands one of them on as its own result.
#define RT_ERROR_BASE 20000
#define RT_ERROR_FAILURE (RT_ERROR_BASE + 1)
#define RT_ERROR_OUT_OF_MEMORY (RT_ERROR_BASE + 7)
#define RT_ERROR_INVALID_ARG (RT_ERROR_BASE + 8)
#define RT_ERROR_NOT_INITIALIZED (RT_ERROR_BASE + 9)
#define RT_ERROR_ALREADY_INITIALIZED (RT_ERROR_BASE + 10)
#define RT_ERROR_NOT_FOUND (RT_ERROR_BASE + 11)
#define RT_ERROR_NULL_POINTER (RT_ERROR_BASE + 15)

#endif
