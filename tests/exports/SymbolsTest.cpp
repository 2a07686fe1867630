// Every library exports only names a host may meet in its process without a
// clash: the Qmx/qmx calls, the documented C++ classes (the module's
// interfaces and proxy record, the framework's Rt classes, the XML reader's
// CSimpleParseXml), the standard
// library's template code, and for libqmxwininet the WinINet entry points it
// stands in for. A Win32 or C-runtime name such as GetTickCount, _unlink or
// localtime_s must not appear.
#include <stdio.h>
#include <string.h>

#include <regex>
#include <string>

#include <gtest/gtest.h>

namespace {

struct Library {
  const char* path;
  bool wininetApi;  // the WinINet entry points are its interface
};

const Library kLibraries[] = {
    {QMX_LIB_CONFWEBA, false}, {QMX_LIB_FRAMEWORK, false}, {QMX_LIB_WIN32, false},
    {QMX_LIB_WININET, true},   {QMX_LIB_XML, false},
};

bool Allowed(const std::string& name, bool wininetApi) {
  // C names.
  static const std::regex kPrefixed("^(Qmx|qmx)[A-Za-z0-9_]*$");
  static const std::regex kWininet("^(Internet|Http)[A-Za-z]+$");
  // C++ names: the standard library's (std::, __gnu_cxx::) in any role, or a
  // first qualifier from the documented classes, the XML reader's included
  // (vtable, typeinfo, guard variable and local statics too).
  static const std::regex kStd("^_Z(TV|TI|TS|GV|Z)?N?K?(St|Sa|Ss|9__gnu_cxx)");
  static const std::regex kOurs("^_Z(TV|TI|TS|GV|Z)?N?K?[0-9]+(Qmx|qmx|CRt|IRt|Rt|IConfWeba|CSimpleParseXml)");
  // What a sanitizer or coverage build adds for its own runtime.
  static const std::regex kTooling("^__(odr_asan|asan_|tsan_|ubsan_|sanitizer_|gcov_)");
  if (std::regex_search(name, kTooling)) return true;
  if (name.compare(0, 2, "_Z") != 0)
    return std::regex_search(name, kPrefixed) || (wininetApi && std::regex_search(name, kWininet));
  return std::regex_search(name, kStd) || std::regex_search(name, kOurs);
}

TEST(SymbolsTest, EachLibraryExportsOnlyPrefixedOrDocumentedNames) {
  for (const Library& lib : kLibraries) {
    // The raw (mangled) names of the defined dynamic symbols.
    FILE* pipe = popen((std::string("nm -D --defined-only --format=just-symbols '") + lib.path + "'").c_str(), "r");
    ASSERT_NE(nullptr, pipe);
    int names = 0;
    for (char line[8192]; fgets(line, sizeof(line), pipe); ++names) {
      const std::string name(line, strcspn(line, "\r\n"));
      EXPECT_TRUE(Allowed(name, lib.wininetApi)) << lib.path << ": " << name;
    }
    pclose(pipe);
    EXPECT_NE(0, names) << "no symbols read from " << lib.path;
  }
}

}  // namespace
