// Locale names to character sets and language identifiers, and where the user's
// and the system's locale are read from.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qmxlocale.h"
#include "windows.h"

namespace {

// Each row: locale name, then what it gives. "-" stands for a null name.
std::vector<std::pair<std::string, std::string>> Rows(const char* table) {
  std::istringstream in(table);
  std::vector<std::pair<std::string, std::string>> rows;
  for (std::string name, want; in >> name >> want;) rows.emplace_back(name == "\"\"" ? "" : name, want);
  return rows;
}

TEST(LocaleCharsetTest, CodeSetGivenOrTraditional) {
  for (const auto& c : Rows("zh_CN.GBK GBK  zh_CN.gb18030 GB18030  de_DE.utf8 UTF-8  ru_RU.KOI8-R KOI8-R  "
                            "pl_PL.iso88592 ISO-8859-2  en_US.UTF-8@x UTF-8  zh_CN GB2312  zh_TW BIG5  "
                            "zh_HK BIG5-HKSCS  ja_JP EUC-JP  ko_KR EUC-KR  en_US ISO-8859-1  ru_RU ISO-8859-5  "
                            "ru_UA KOI8-U  de_DE@euro ISO-8859-15  hi_IN UTF-8  C UTF-8  \"\" UTF-8  - UTF-8")) {
    char name[64];
    ASSERT_EQ(0, QmxLocaleCharset(c.first == "-" ? nullptr : c.first.c_str(), name, sizeof(name)) < 0) << c.first;
    EXPECT_EQ(c.second, name) << c.first;
  }
  char tiny[4];
  EXPECT_EQ(-1, QmxLocaleCharset("en_US", tiny, sizeof(tiny)));
}

TEST(LocaleLangIdTest, LocaleNamesToLanguageIds) {
  for (const auto& c : Rows("zh_CN 0804  zh_CN.UTF-8 0804  zh_TW.Big5 0404  zh_HK 0C04  ja_JP.eucJP 0411  "
                            "en_US 0409  en_GB.UTF-8 0809  de_DE@euro 0407  de_AT 0C07  fr_CA 0C0C  pt_BR 0416  "
                            "EN_us 0409  C 0  C.UTF-8 0  \"\" 0  - 0  xx_YY 0")) {
    EXPECT_EQ(std::stoi(c.second, nullptr, 16), QmxLocaleLangId(c.first == "-" ? nullptr : c.first.c_str())) << c.first;
  }
}

// The user's language comes from LC_ALL, else LC_MESSAGES, else LANG (a set
// but empty variable counts as unset; LC_CTYPE says nothing of the
// language); a system locale file (update-locale's) follows the same order.
TEST(LocaleLangIdTest, UserEnvironmentAndSystemFileByPriority) {
  // LC_ALL, LC_MESSAGES, LANG ("-": unset), then the language; LC_MESSAGES=C
  // is set, so it wins, and names no language.
  std::istringstream rows(
      "- - - 0  - - ja_JP.UTF-8 0411  - zh_TW.UTF-8 ja_JP.UTF-8 0404  zh_CN.UTF-8 zh_TW.UTF-8 ja_JP.UTF-8 0804  "
      "\"\" zh_TW.UTF-8 ja_JP.UTF-8 0404  - C ja_JP.UTF-8 0");
  const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  char path[] = "/tmp/qmx-locale-XXXXXX";
  close(mkstemp(path));
  setenv("LC_CTYPE", "ko_KR.UTF-8", 1);
  for (std::string v[3], want; rows >> v[0] >> v[1] >> v[2] >> want;) {
    SCOPED_TRACE(v[0] + "|" + v[1] + "|" + v[2]);
    FILE* f = fopen(path, "w");
    ASSERT_NE(nullptr, f);
    fputs("# LC_ALL=ko_KR.UTF-8\nLC_CTYPE=ko_KR.UTF-8\n", f);
    for (int i = 0; i < 3; ++i) {
      const std::string value = v[i] == "\"\"" ? "" : v[i];
      // Quoted, exported or plain, as the tools write them.
      if (v[i] != "-")
        fprintf(f, i == 0 ? "export %s='%s'\n" : i == 1 ? "%s=\"%s\"\n" : "%s=%s\n", names[i], value.c_str());
      v[i] != "-" ? setenv(names[i], value.c_str(), 1) : unsetenv(names[i]);
    }
    fclose(f);
    EXPECT_EQ(std::stoi(want, nullptr, 16), GetUserDefaultLangID());
    EXPECT_EQ(std::stoi(want, nullptr, 16), QmxLocaleConfigLangId(path));
  }
  unlink(path);
  EXPECT_EQ(0, QmxLocaleConfigLangId("/nonexistent/locale"));
  // Whatever this machine is configured with, the system answer names a
  // language (0x0409 when it names none).
  EXPECT_NE(0, GetSystemDefaultLangID());
}

}  // namespace
