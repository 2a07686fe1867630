// Locale names to character sets and Windows language identifiers. Everything
// is read from the names in the environment or in the system's locale file;
// the process's C locale is never touched.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "qmxlocale.h"

namespace {

// A locale name split as language[_territory][.codeset][@modifier], with the
// language in lower case and the territory in upper case.
struct LocaleName {
  std::string language;
  std::string territory;
  std::string codeset;
  std::string modifier;
};

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// False for NULL, "", "C", "POSIX" and their code-set forms ("C.UTF-8"): the
// names that stand for no language at all.
bool ParseLocaleName(const char* text, LocaleName& out) {
  if (!text || !*text) return false;
  std::string name(text);
  size_t at = name.find('@');
  if (at != std::string::npos) {
    out.modifier = name.substr(at + 1);
    name.erase(at);
  }
  size_t dot = name.find('.');
  if (dot != std::string::npos) {
    out.codeset = name.substr(dot + 1);
    name.erase(dot);
  }
  size_t underscore = name.find('_');
  if (underscore != std::string::npos) {
    for (char c : name.substr(underscore + 1)) out.territory += Upper(c);
    name.erase(underscore);
  }
  for (char c : name) out.language += Lower(c);
  if (out.language.empty() || out.language == "c" || out.language == "posix") return false;
  return true;
}

// The first of the named environment variables that is set and not empty.
const char* FirstSetVariable(const char* const* names) {
  for (; *names; ++names) {
    const char* value = getenv(*names);
    if (value && *value) return value;
  }
  return nullptr;
}

// Code sets as people write them ("utf8", "eucJP", "gb2312") reduced the way
// the C library does (lower-case letters and digits only), then mapped to
// names iconv knows. Names not listed are handed to iconv as written.
struct CodesetAlias {
  const char* normalized;
  const char* iconvName;
};
const CodesetAlias kCodesetAliases[] = {
    {"utf8", "UTF-8"},   {"gbk", "GBK"},         {"cp936", "GBK"},      {"gb2312", "GB2312"},
    {"euccn", "GB2312"}, {"gb18030", "GB18030"}, {"big5", "BIG5"},      {"big5hkscs", "BIG5-HKSCS"},
    {"eucjp", "EUC-JP"}, {"ujis", "EUC-JP"},     {"sjis", "SHIFT_JIS"}, {"shiftjis", "SHIFT_JIS"},
    {"euckr", "EUC-KR"}, {"euctw", "EUC-TW"},    {"koi8r", "KOI8-R"},   {"koi8u", "KOI8-U"},
    {"koi8t", "KOI8-T"}, {"tis620", "TIS-620"},  {"ascii", "ASCII"},    {"ansix341968", "ASCII"},
};

std::string NormalizeCodeset(const std::string& codeset) {
  std::string out;
  bool onlyDigits = true;
  for (char c : codeset) {
    char l = Lower(c);
    if ((l >= 'a' && l <= 'z') || (l >= '0' && l <= '9')) {
      out += l;
      if (l < '0' || l > '9') onlyDigits = false;
    }
  }
  if (onlyDigits && !out.empty()) out = "iso" + out;
  return out;
}

std::string IconvNameOfCodeset(const std::string& codeset) {
  std::string n = NormalizeCodeset(codeset);
  for (const CodesetAlias& a : kCodesetAliases) {
    if (n == a.normalized) return a.iconvName;
  }
  // iso8859N and iso8859NN -> ISO-8859-N; cpNNNN -> CPNNNN.
  if (n.compare(0, 7, "iso8859") == 0 && n.size() > 7) return "ISO-8859-" + n.substr(7);
  if (n.compare(0, 2, "cp") == 0 && n.size() > 2) return "CP" + n.substr(2);
  return codeset;
}

// The traditional character sets of locales named without a code set, as the
// C library's locale definitions give them: first the exceptions for a
// language in one territory, then the set of each language.
struct NamedCharset {
  const char* name;
  const char* charset;
};
const NamedCharset kTerritoryCharsets[] = {
    {"zh_TW", "BIG5"},        {"zh_HK", "BIG5-HKSCS"},  {"ru_UA", "KOI8-U"},
    {"ca_AD", "ISO-8859-15"}, {"ca_FR", "ISO-8859-15"}, {"ca_IT", "ISO-8859-15"},
};
const NamedCharset kLanguageCharsets[] = {
    {"zh", "GB2312"},
    {"ja", "EUC-JP"},
    {"ko", "EUC-KR"},
    {"th", "TIS-620"},
    {"ar", "ISO-8859-6"},
    {"el", "ISO-8859-7"},
    {"he", "ISO-8859-8"},
    {"iw", "ISO-8859-8"},
    {"ru", "ISO-8859-5"},
    {"mk", "ISO-8859-5"},
    {"uk", "KOI8-U"},
    {"tg", "KOI8-T"},
    {"be", "CP1251"},
    {"bg", "CP1251"},
    {"yi", "CP1255"},
    {"ka", "GEORGIAN-PS"},
    {"kk", "PT154"},
    {"tr", "ISO-8859-9"},
    {"ku", "ISO-8859-9"},
    {"mt", "ISO-8859-3"},
    {"lg", "ISO-8859-10"},
    {"lt", "ISO-8859-13"},
    {"lv", "ISO-8859-13"},
    {"mi", "ISO-8859-13"},
    {"cy", "ISO-8859-14"},
    {"an", "ISO-8859-15"},
    {"ast", "ISO-8859-15"},
    {"gd", "ISO-8859-15"},
    {"mg", "ISO-8859-15"},
    {"bs", "ISO-8859-2"},
    {"cs", "ISO-8859-2"},
    {"hr", "ISO-8859-2"},
    {"hsb", "ISO-8859-2"},
    {"hu", "ISO-8859-2"},
    {"pl", "ISO-8859-2"},
    {"ro", "ISO-8859-2"},
    {"sk", "ISO-8859-2"},
    {"sl", "ISO-8859-2"},
    // Western Europe and the rest of the Latin-1 world.
    {"aa", "ISO-8859-1"},
    {"af", "ISO-8859-1"},
    {"br", "ISO-8859-1"},
    {"ca", "ISO-8859-1"},
    {"da", "ISO-8859-1"},
    {"de", "ISO-8859-1"},
    {"en", "ISO-8859-1"},
    {"es", "ISO-8859-1"},
    {"et", "ISO-8859-1"},
    {"eu", "ISO-8859-1"},
    {"fi", "ISO-8859-1"},
    {"fo", "ISO-8859-1"},
    {"fr", "ISO-8859-1"},
    {"ga", "ISO-8859-1"},
    {"gl", "ISO-8859-1"},
    {"gv", "ISO-8859-1"},
    {"id", "ISO-8859-1"},
    {"is", "ISO-8859-1"},
    {"it", "ISO-8859-1"},
    {"kl", "ISO-8859-1"},
    {"kw", "ISO-8859-1"},
    {"ms", "ISO-8859-1"},
    {"nb", "ISO-8859-1"},
    {"nl", "ISO-8859-1"},
    {"nn", "ISO-8859-1"},
    {"no", "ISO-8859-1"},
    {"oc", "ISO-8859-1"},
    {"om", "ISO-8859-1"},
    {"pt", "ISO-8859-1"},
    {"so", "ISO-8859-1"},
    {"sq", "ISO-8859-1"},
    {"st", "ISO-8859-1"},
    {"sv", "ISO-8859-1"},
    {"tl", "ISO-8859-1"},
    {"uz", "ISO-8859-1"},
    {"wa", "ISO-8859-1"},
    {"xh", "ISO-8859-1"},
    {"zu", "ISO-8859-1"},
};

std::string CharsetOfLocale(const char* localeName) {
  LocaleName name;
  if (!ParseLocaleName(localeName, name)) return "UTF-8";
  if (!name.codeset.empty()) return IconvNameOfCodeset(name.codeset);
  if (name.modifier == "euro") return name.language == "el" ? "ISO-8859-7" : "ISO-8859-15";
  std::string full = name.language + "_" + name.territory;
  for (const NamedCharset& c : kTerritoryCharsets) {
    if (full == c.name) return c.charset;
  }
  for (const NamedCharset& c : kLanguageCharsets) {
    if (name.language == c.name) return c.charset;
  }
  return "UTF-8";  // languages whose only locales are UTF-8 ones
}

int CopyOut(const std::string& value, char* out, size_t outSize) {
  if (!out || value.size() + 1 > outSize) return -1;
  memcpy(out, value.c_str(), value.size() + 1);
  return static_cast<int>(value.size());
}

// Primary language identifiers (LANG_* of winnt.h). A language alone takes
// its primary identifier with SUBLANG_DEFAULT (1).
struct LanguageId {
  const char* language;
  WORD primary;
};
const LanguageId kPrimaryLanguages[] = {
    {"ar", 0x01}, {"bg", 0x02}, {"ca", 0x03}, {"zh", 0x04}, {"cs", 0x05}, {"da", 0x06},  {"de", 0x07}, {"el", 0x08},
    {"en", 0x09}, {"es", 0x0a}, {"fi", 0x0b}, {"fr", 0x0c}, {"he", 0x0d}, {"iw", 0x0d},  {"hu", 0x0e}, {"is", 0x0f},
    {"it", 0x10}, {"ja", 0x11}, {"ko", 0x12}, {"nl", 0x13}, {"nb", 0x14}, {"no", 0x14},  {"nn", 0x14}, {"pl", 0x15},
    {"pt", 0x16}, {"ro", 0x18}, {"ru", 0x19}, {"hr", 0x1a}, {"sk", 0x1b}, {"sq", 0x1c},  {"sv", 0x1d}, {"th", 0x1e},
    {"tr", 0x1f}, {"ur", 0x20}, {"id", 0x21}, {"uk", 0x22}, {"be", 0x23}, {"sl", 0x24},  {"et", 0x25}, {"lv", 0x26},
    {"lt", 0x27}, {"fa", 0x29}, {"vi", 0x2a}, {"hy", 0x2b}, {"eu", 0x2d}, {"mk", 0x2f},  {"af", 0x36}, {"ka", 0x37},
    {"fo", 0x38}, {"hi", 0x39}, {"mt", 0x3a}, {"ms", 0x3e}, {"kk", 0x3f}, {"sw", 0x41},  {"uz", 0x43}, {"bn", 0x45},
    {"pa", 0x46}, {"gu", 0x47}, {"ta", 0x49}, {"te", 0x4a}, {"kn", 0x4b}, {"ml", 0x4c},  {"mr", 0x4e}, {"mn", 0x50},
    {"cy", 0x52}, {"km", 0x53}, {"gl", 0x56}, {"am", 0x5e}, {"ne", 0x61}, {"fil", 0x64}, {"tl", 0x64},
};

// Full identifiers where the territory picks a sub-language other than the
// default, and the two where the language alone means something else
// ("zh" is simplified Chinese; Spain's Spanish is the modern sort).
struct NamedId {
  const char* name;
  LANGID id;
};
const NamedId kTerritoryIds[] = {
    {"zh", 0x0804},    {"zh_CN", 0x0804}, {"zh_TW", 0x0404}, {"zh_HK", 0x0C04}, {"zh_SG", 0x1004}, {"zh_MO", 0x1404},
    {"en_GB", 0x0809}, {"en_AU", 0x0C09}, {"en_CA", 0x1009}, {"en_NZ", 0x1409}, {"en_IE", 0x1809}, {"en_ZA", 0x1C09},
    {"en_PH", 0x3409}, {"en_IN", 0x4009}, {"en_SG", 0x4809}, {"de_CH", 0x0807}, {"de_AT", 0x0C07}, {"de_LU", 0x1007},
    {"de_LI", 0x1407}, {"fr_BE", 0x080C}, {"fr_CA", 0x0C0C}, {"fr_CH", 0x100C}, {"fr_LU", 0x140C}, {"es", 0x0C0A},
    {"es_ES", 0x0C0A}, {"es_MX", 0x080A}, {"es_AR", 0x2C0A}, {"es_CO", 0x240A}, {"es_CL", 0x340A}, {"es_US", 0x540A},
    {"it_CH", 0x0810}, {"pt_PT", 0x0816}, {"nl_BE", 0x0813}, {"sv_FI", 0x081D}, {"nn_NO", 0x0814}, {"ar_EG", 0x0C01},
    {"ar_AE", 0x3801}, {"ko_KP", 0x0812}, {"ru_MD", 0x0819}, {"ms_BN", 0x083E},
};

LANGID LangIdOf(const char* localeName) {
  LocaleName name;
  if (!ParseLocaleName(localeName, name)) return 0;
  std::string full = name.territory.empty() ? name.language : name.language + "_" + name.territory;
  for (const NamedId& t : kTerritoryIds) {
    if (full == t.name) return t.id;
  }
  if (!name.territory.empty()) {
    for (const NamedId& t : kTerritoryIds) {
      if (name.language == t.name) return t.id;
    }
  }
  for (const LanguageId& l : kPrimaryLanguages) {
    if (name.language == l.language) return MAKELANGID(l.primary, 0x01);
  }
  return 0;
}

// Reads KEY=VALUE lines (optional quotes, "#" comments, optional "export ")
// in one pass, keeping the value of each of the `count` keys.
void ConfigValues(const char* path, const char* const* keys, std::string* values, size_t count) {
  FILE* f = fopen(path, "re");
  if (!f) return;
  char line[512];
  while (fgets(line, sizeof(line), f)) {
    const char* p = line;
    while (*p == ' ' || *p == '\t') ++p;
    if (strncmp(p, "export ", 7) == 0) p += 7;
    for (size_t k = 0; k < count; ++k) {
      size_t keyLength = strlen(keys[k]);
      if (strncmp(p, keys[k], keyLength) != 0 || p[keyLength] != '=') continue;
      std::string v(p + keyLength + 1);
      while (!v.empty() && (v.back() == '\n' || v.back() == '\r' || v.back() == ' ' || v.back() == '\t')) v.pop_back();
      if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
      values[k] = v;  // the last assignment wins, as when the file is sourced
      break;
    }
  }
  fclose(f);
}

// The per-process answers (see QmxLocaleResetCache). The ANSI character set
// is published once built and never changed; a reset retires it to
// g_retiredAnsi rather than freeing it, so that a reader still holding it is
// safe and nothing is reported as leaked.
struct AnsiCharset {
  int length;  // QmxLocaleCharset's result
  char name[64];
};
std::atomic<const AnsiCharset*> g_ansi{nullptr};
std::mutex g_retiredLock;
std::vector<const AnsiCharset*>* g_retiredAnsi = nullptr;

const AnsiCharset* CachedAnsiCharset() {
  const AnsiCharset* cached = g_ansi.load(std::memory_order_acquire);
  if (cached) return cached;
  static const char* const kNames[] = {"LC_ALL", "LC_CTYPE", "LANG", nullptr};
  AnsiCharset* fresh = new (std::nothrow) AnsiCharset;
  if (!fresh) return nullptr;
  fresh->length = QmxLocaleCharset(FirstSetVariable(kNames), fresh->name, sizeof(fresh->name));
  const AnsiCharset* expected = nullptr;
  if (!g_ansi.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
    delete fresh;  // another thread published first: the same answer
    return expected;
  }
  return fresh;
}

// 0 until read.
std::atomic<LANGID> g_systemLangId{0};

}  // namespace

extern "C" {

int QmxLocaleCharset(const char* localeName, char* out, size_t outSize) {
  try {
    return CopyOut(CharsetOfLocale(localeName), out, outSize);
  } catch (...) {
    return -1;
  }
}

int QmxAnsiCharset(char* out, size_t outSize) {
  const AnsiCharset* cs = CachedAnsiCharset();
  if (!cs) {
    static const char* const kNames[] = {"LC_ALL", "LC_CTYPE", "LANG", nullptr};
    return QmxLocaleCharset(FirstSetVariable(kNames), out, outSize);
  }
  if (cs->length < 0 || !out || static_cast<size_t>(cs->length) + 1 > outSize) return -1;
  memcpy(out, cs->name, static_cast<size_t>(cs->length) + 1);
  return cs->length;
}

void QmxLocaleResetCache(void) {
  g_systemLangId.store(0);
  const AnsiCharset* old = g_ansi.exchange(nullptr);
  if (!old) return;
  std::lock_guard<std::mutex> g(g_retiredLock);
  try {
    if (!g_retiredAnsi) g_retiredAnsi = new std::vector<const AnsiCharset*>;
    g_retiredAnsi->push_back(old);
  } catch (...) {
    // Kept neither: a few bytes lost, in a test.
  }
}

LANGID QmxLocaleLangId(const char* localeName) {
  try {
    return LangIdOf(localeName);
  } catch (...) {
    return 0;
  }
}

LANGID QmxLocaleConfigLangId(const char* path) {
  if (!path) return 0;
  try {
    static const char* const kKeys[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    std::string values[3];
    ConfigValues(path, kKeys, values, 3);
    for (const std::string& value : values) {
      if (!value.empty()) return LangIdOf(value.c_str());
    }
  } catch (...) {
  }
  return 0;
}

LANGID GetUserDefaultLangID(void) {
  static const char* const kNames[] = {"LC_ALL", "LC_MESSAGES", "LANG", nullptr};
  return QmxLocaleLangId(FirstSetVariable(kNames));
}

// The system's files are read once per process: the system locale does not
// change under a running program (on Windows it takes a restart).
LANGID GetSystemDefaultLangID(void) {
  LANGID cached = g_systemLangId.load(std::memory_order_relaxed);
  if (cached != 0) return cached;
  LANGID id = 0;
  for (const char* path : {"/etc/default/locale", "/etc/locale.conf"}) {
    id = QmxLocaleConfigLangId(path);
    if (id != 0) break;
  }
  if (id == 0) id = 0x0409;
  g_systemLangId.store(id, std::memory_order_relaxed);
  return id;
}

}  // extern "C"
