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

// The functions below keep their Windows names in the source that calls
// them, while the library's symbols carry the QmxWin32_ prefix: a host's own
// GetTickCount, _unlink or localtime_s never meets ours in the process.
#define QMX_WIN32_NAME(name) __asm__("QmxWin32_" #name)

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
#ifdef __cplusplus
typedef char16_t WCHAR;  // UTF-16 code unit, as on Windows
#else
typedef uint16_t WCHAR;
#endif
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

// Code pages. CP_OEMCP and CP_THREAD_ACP stand for the same character set
// as CP_ACP here; any other number n is tried as the iconv charset "CPn".
#define CP_ACP 0
#define CP_OEMCP 1
#define CP_THREAD_ACP 3
#define CP_UTF8 65001

// MultiByteToWideChar flags. Only MB_ERR_INVALID_CHARS changes anything: it
// makes an invalid input sequence fail the call instead of becoming U+FFFD.
#define MB_PRECOMPOSED 0x00000001
#define MB_COMPOSITE 0x00000002
#define MB_USEGLYPHCHARS 0x00000004
#define MB_ERR_INVALID_CHARS 0x00000008

// WideCharToMultiByte flags. Only WC_ERR_INVALID_CHARS (CP_UTF8 only) changes
// anything: an unpaired surrogate fails the call instead of becoming U+FFFD.
#define WC_DISCARDNS 0x00000010
#define WC_SEPCHARS 0x00000020
#define WC_DEFAULTCHAR 0x00000040
#define WC_ERR_INVALID_CHARS 0x00000080
#define WC_COMPOSITECHECK 0x00000200
#define WC_NO_BEST_FIT_CHARS 0x00000400

// Error codes (winerror.h) that the layers report.
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_DATA 13L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_IO_PENDING 997L
#define ERROR_CANCELLED 1223L

// Language identifiers.
#define MAKELANGID(p, s) ((WORD)((((WORD)(s)) << 10) | (WORD)(p)))
#define PRIMARYLANGID(lgid) ((WORD)(lgid)&0x3ff)
#define SUBLANGID(lgid) ((WORD)(lgid) >> 10)

// KERNEL32
QMX_WIN32_API DWORD GetTickCount(void) QMX_WIN32_NAME(GetTickCount);
QMX_WIN32_API DWORD GetLastError(void) QMX_WIN32_NAME(GetLastError);
QMX_WIN32_API void SetLastError(DWORD dwErrCode) QMX_WIN32_NAME(SetLastError);
QMX_WIN32_API LONG InterlockedIncrement(LONG volatile* Addend) QMX_WIN32_NAME(InterlockedIncrement);
QMX_WIN32_API LONG InterlockedDecrement(LONG volatile* Addend) QMX_WIN32_NAME(InterlockedDecrement);
QMX_WIN32_API LONG InterlockedExchange(LONG volatile* Target, LONG Value) QMX_WIN32_NAME(InterlockedExchange);
QMX_WIN32_API LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand)
    QMX_WIN32_NAME(InterlockedCompareExchange);
QMX_WIN32_API LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) QMX_WIN32_NAME(InterlockedExchangeAdd);
// Code-page conversions with their Windows contracts (counting call with a
// zero output size, -1 for a NUL-terminated input whose NUL is counted,
// ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_PARAMETER, ERROR_INVALID_FLAGS).
// CP_ACP is the character set of the locale in LC_ALL, LC_CTYPE or LANG
// (see qmxlocale.h). Without strict flags an invalid input sequence becomes
// U+FFFD and a character the target lacks becomes the default character "?".
QMX_WIN32_API int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                                      LPWSTR lpWideCharStr, int cchWideChar) QMX_WIN32_NAME(MultiByteToWideChar);
QMX_WIN32_API int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                                      LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                                      LPBOOL lpUsedDefaultChar) QMX_WIN32_NAME(WideCharToMultiByte);
// hModule must be NULL (the executable); the path comes from /proc/self/exe.
// As on Windows: the length without the NUL; when the buffer is too small, the
// path cut to nSize - 1 bytes and terminated, nSize returned and the last error
// ERROR_INSUFFICIENT_BUFFER; another module gives 0 and ERROR_MOD_NOT_FOUND.
QMX_WIN32_API DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize)
    QMX_WIN32_NAME(GetModuleFileNameA);
// The user's language from LC_ALL, LC_MESSAGES, then LANG (the first that is
// set and not empty); 0 for "C", "POSIX", unset or an unknown language.
QMX_WIN32_API LANGID GetUserDefaultLangID(void) QMX_WIN32_NAME(GetUserDefaultLangID);
// The system's language from /etc/default/locale, then /etc/locale.conf;
// 0x0409 (English, United States) when neither names a known language.
QMX_WIN32_API LANGID GetSystemDefaultLangID(void) QMX_WIN32_NAME(GetSystemDefaultLangID);

// USER32: there is no window system here; always NULL.
QMX_WIN32_API HWND GetForegroundWindow(void) QMX_WIN32_NAME(GetForegroundWindow);

#ifdef __cplusplus
}
#endif

#endif
