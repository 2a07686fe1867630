// The shared library exports its host entry, the two interfaces and the
// proxy record, and nothing of its internals.
#include <stdio.h>

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

// Demangled names of the defined dynamic symbols of the library.
std::set<std::string> DynamicSymbols() {
  std::set<std::string> names;
  const std::string command = "nm -D --defined-only -C '" QMX_CONFWEBA_LIBRARY "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return names;
  char line[4096];
  while (fgets(line, sizeof(line), pipe)) {
    std::string s(line);
    while (!s.empty() && s.back() == '\n') s.pop_back();
    // "<address> <type> <name>"
    const size_t type = s.find(' ');
    if (type == std::string::npos || s.size() < type + 3) continue;
    names.insert(s.substr(type + 3));
  }
  pclose(pipe);
  return names;
}

bool Allowed(const std::string& name) {
  static const char* const kPrefixes[] = {
      "IConfWeba::",
      "IConfWebaSink::",
      "CRtHttpProxyInfo::",
      "QmxConfWeba",
      "vtable for IConfWeba",
      "typeinfo for IConfWeba",
      "typeinfo name for IConfWeba",
      "vtable for CRtHttpProxyInfo",
      "typeinfo for CRtHttpProxyInfo",
      "typeinfo name for CRtHttpProxyInfo",
  };
  for (const char* p : kPrefixes) {
    if (name.compare(0, std::string(p).size(), p) == 0) return true;
  }
  return false;
}

TEST(ExportsTest, OnlyTheHostInterfaceIsExported) {
  const std::set<std::string> names = DynamicSymbols();
  ASSERT_FALSE(names.empty()) << "nm found nothing in " QMX_CONFWEBA_LIBRARY;
  for (const auto& n : names) EXPECT_TRUE(Allowed(n)) << "exported: " << n;

  const char* const kRequired[] = {
      "IConfWeba::Instance()",
      "IConfWeba::IConfWeba()",
      "IConfWeba::IConfWeba(IConfWeba const&)",
      "IConfWeba::operator=(IConfWeba const&)",
      "IConfWebaSink::IConfWebaSink()",
      "IConfWebaSink::IConfWebaSink(IConfWebaSink const&)",
      "IConfWebaSink::operator=(IConfWebaSink const&)",
      "vtable for IConfWeba",
      "typeinfo for IConfWeba",
      "vtable for IConfWebaSink",
      "typeinfo for IConfWebaSink",
      "vtable for CRtHttpProxyInfo",
      "typeinfo for CRtHttpProxyInfo",
      "CRtHttpProxyInfo::CRtHttpProxyInfo(CRtHttpProxyInfo const&)",
      "CRtHttpProxyInfo::operator=(CRtHttpProxyInfo const&)",
      "CRtHttpProxyInfo::SetFirstTryedWithoutUserName()",
      "CRtHttpProxyInfo::IsFirstTryWithoutUserName() const",
      "CRtHttpProxyInfo::GetPort() const",
  };
  for (const char* r : kRequired) EXPECT_EQ(1u, names.count(r)) << "not exported: " << r;
}

}  // namespace
