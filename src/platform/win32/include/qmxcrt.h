// Linux stand-in for the Microsoft C runtime functions the module uses
// (formatted printing, case-insensitive compare, directories, time).
#ifndef QMX_WIN32_QMXCRT_H
#define QMX_WIN32_QMXCRT_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "windows.h"

#ifdef __cplusplus
extern "C" {
#endif

// Like Windows _snprintf: returns the count written when it fits, -1 when the
// text was cut (and then no terminating NUL is guaranteed), never more than count.
QMX_WIN32_API int _snprintf(char* buffer, size_t count, const char* format, ...) QMX_WIN32_NAME(_snprintf)
    __attribute__((format(printf, 3, 4)));
QMX_WIN32_API int _vsnprintf(char* buffer, size_t count, const char* format, va_list args) QMX_WIN32_NAME(_vsnprintf);
QMX_WIN32_API int _stricmp(const char* a, const char* b) QMX_WIN32_NAME(_stricmp);
QMX_WIN32_API int _strnicmp(const char* a, const char* b, size_t n) QMX_WIN32_NAME(_strnicmp);
// Creates one directory (mode 0777 less the umask). 0 or -1 with errno.
QMX_WIN32_API int _mkdir(const char* dirname) QMX_WIN32_NAME(_mkdir);
// As on Windows, refuses (-1, errno EACCES) to delete a file that this
// process still holds open.
QMX_WIN32_API int _unlink(const char* filename) QMX_WIN32_NAME(_unlink);

struct _timeb {
  time_t time;
  unsigned short millitm;
  short timezone;
  short dstflag;
};
QMX_WIN32_API void _ftime(struct _timeb* timeptr) QMX_WIN32_NAME(_ftime);

typedef int errno_t;
// Windows argument order: the broken-down local time of *timer into *tmDest.
// 0, or EINVAL (with every field of *tmDest set to -1 when it is given) for a null argument or
// a time that cannot be converted. Unlike localtime, it does not look at the
// time zone file on each call.
QMX_WIN32_API errno_t localtime_s(struct tm* tmDest, const time_t* timer) QMX_WIN32_NAME(localtime_s);

#define _A_NORMAL 0x00
#define _A_RDONLY 0x01
#define _A_HIDDEN 0x02
#define _A_SYSTEM 0x04
#define _A_SUBDIR 0x10
#define _A_ARCH 0x20

struct _finddata_t {
  unsigned attrib;
  time_t time_create;
  time_t time_access;
  time_t time_write;
  uint64_t size;
  char name[260];
};
// Only exact names are supported (no wild cards), which is all the module
// asks: does this path exist, and is it a directory. -1 when not found.
QMX_WIN32_API intptr_t _findfirst(const char* filespec, struct _finddata_t* fileinfo) QMX_WIN32_NAME(_findfirst);
QMX_WIN32_API int _findclose(intptr_t handle) QMX_WIN32_NAME(_findclose);

#ifdef __cplusplus
}
#endif

#endif
