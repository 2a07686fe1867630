// How this layer reads the locale environment: the character set behind
// CP_ACP and the Windows language identifiers. No call here uses setlocale;
// everything is taken from the locale names themselves.
#ifndef QMX_WIN32_QMXLOCALE_H
#define QMX_WIN32_QMXLOCALE_H

#include <stddef.h>

#include "windows.h"

#ifdef __cplusplus
extern "C" {
#endif

// The iconv name of the character set of a locale name of the form
// language[_territory][.codeset][@modifier]: the code set when one is given
// ("zh_CN.GBK" -> "GBK", "de_DE.utf8" -> "UTF-8"); otherwise the traditional
// character set of that locale ("zh_CN" -> "GB2312", "ja_JP" -> "EUC-JP",
// "en_US" -> "ISO-8859-1", "de_DE@euro" -> "ISO-8859-15"); "UTF-8" for NULL,
// "", "C", "POSIX" and unknown languages. Writes a NUL-terminated name and
// returns its length, or -1 when out (of outSize bytes) is too small.
QMX_WIN32_API int QmxLocaleCharset(const char* localeName, char* out, size_t outSize);

// The character set that CP_ACP stands for: QmxLocaleCharset of the first of
// LC_ALL, LC_CTYPE and LANG that is set and not empty. Like the ANSI code page
// of a Windows process, it is fixed when first asked for: the environment is
// read once per process (see QmxLocaleResetCache).
QMX_WIN32_API int QmxAnsiCharset(char* out, size_t outSize);

// The Windows language identifier of a locale name ("zh_CN.UTF-8" -> 0x0804,
// "zh_TW" -> 0x0404, "ja_JP" -> 0x0411, "en_US" -> 0x0409; a language without
// a known territory takes its primary language with the default
// sub-language). 0 for NULL, "", "C", "POSIX" and unknown languages.
QMX_WIN32_API LANGID QmxLocaleLangId(const char* localeName);

// The language identifier named by a locale configuration file of KEY=VALUE
// lines (/etc/default/locale, /etc/locale.conf): LC_ALL, then LC_MESSAGES,
// then LANG. 0 when the file is missing or names no known language.
QMX_WIN32_API LANGID QmxLocaleConfigLangId(const char* path);

// GetSystemDefaultLangID reads the system's locale files, and QmxAnsiCharset
// (behind CP_ACP) the environment, once per process. This forgets both, so
// that the next call reads them again: for tests that change the environment
// or the files. Call it while no other thread converts text.
QMX_WIN32_API void QmxLocaleResetCache(void);

#ifdef __cplusplus
}
#endif

#endif
