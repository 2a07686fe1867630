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
// Result codes the framework itself returns.
#define RT_ERROR_FAILURE 10001
#define RT_ERROR_OUT_OF_MEMORY 10007
#define RT_ERROR_INVALID_ARG 10008
#define RT_ERROR_NOT_INITIALIZED 10009
#define RT_ERROR_ALREADY_INITIALIZED 10010
#define RT_ERROR_NOT_FOUND 10011
#define RT_ERROR_NULL_POINTER 10015

#endif
