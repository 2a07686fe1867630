// Linux stand-in for the subset of <windows.h> (KERNEL32, USER32) that the
// module uses. Names, types and meanings follow Windows; the implementation
// lives in libqmxwin32. DWORD is 32 bits on every build (never unsigned long).
#ifndef QMX_WIN32_WINDOWS_H
#define QMX_WIN32_WINDOWS_H

#include <stddef.h>
#include <stdint.h>

#if defined(QMX_WIN32_BUILD)
#define QMX_WIN32_API __attribute__((visibility("default")))
#else
#define QMX_WIN32_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef unsigned int UINT;
typedef int INT;
typedef char CHAR;
typedef char16_t WCHAR;           // UTF-16 code unit, as on Windows
typedef uintptr_t DWORD_PTR;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef uint64_t ULONGLONG;
typedef WORD LANGID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef HANDLE HWND;
typedef HANDLE HMODULE;
typedef HANDLE HINSTANCE;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef DWORD* LPDWORD;
typedef BOOL* LPBOOL;
typedef volatile LONG* PLONG_VOLATILE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#ifndef MAX_PATH
#define MAX_PATH 260
#endif
#define WINAPI
#define CALLBACK

// Code pages.
#define CP_ACP 0
#define CP_UTF8 65001

// Error codes (winerror.h) that the layers report.
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_IO_PENDING 997L
#define ERROR_CANCELLED 1223L

// Language identifiers.
#define MAKELANGID(p, s) ((WORD)((((WORD)(s)) << 10) | (WORD)(p)))
#define PRIMARYLANGID(lgid) ((WORD)(lgid) & 0x3ff)
#define SUBLANGID(lgid) ((WORD)(lgid) >> 10)

// KERNEL32
QMX_WIN32_API DWORD GetTickCount(void);
QMX_WIN32_API DWORD GetLastError(void);
QMX_WIN32_API void SetLastError(DWORD dwErrCode);
QMX_WIN32_API LONG InterlockedIncrement(LONG volatile* Addend);
QMX_WIN32_API LONG InterlockedDecrement(LONG volatile* Addend);
QMX_WIN32_API LONG InterlockedExchange(LONG volatile* Target, LONG Value);
QMX_WIN32_API LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand);
QMX_WIN32_API LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value);
QMX_WIN32_API int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                                      LPWSTR lpWideCharStr, int cchWideChar);
QMX_WIN32_API int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                                      LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                                      LPBOOL lpUsedDefaultChar);
// hModule must be NULL (the executable); the path comes from /proc/self/exe.
QMX_WIN32_API DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
QMX_WIN32_API LANGID GetUserDefaultLangID(void);
QMX_WIN32_API LANGID GetSystemDefaultLangID(void);

// USER32: there is no window system here; always NULL.
QMX_WIN32_API HWND GetForegroundWindow(void);

#ifdef __cplusplus
}
#endif

#endif
