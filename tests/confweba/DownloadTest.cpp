// GetFileFromURL through libqmxconfweba.so against the simulator's files: a
// download replaces its target whole or not at all.
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "ConfWebaFixture.h"
#include "qmxconfweba_ext.h"

namespace {

namespace fs = std::filesystem;

class DownloadTest : public ConfWebaTest {
 protected:
  void SetUp() override {
    ConfWebaTest::SetUp();
    char tmpl[] = "/tmp/confweba-download-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    m_dir = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(m_dir, ec);
    ConfWebaTest::TearDown();
  }
  void Plant(const std::string& name, const std::string& text) { std::ofstream(m_dir + "/" + name) << text; }
  // The names in the folder: a failed download leaves no temporary file.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(m_dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string File(const std::string& path) { return m_sim->BaseUrl() + path; }
  std::string m_dir;
};

TEST_F(DownloadTest, NameComesFromTheLastSegmentAndDirectoriesAreMade) {
  const std::string target = m_dir + "/a/b/c";
  EXPECT_EQ(0, m_module->GetFileFromURL(File("files/loader.exe?v=/.profile"), target, ""));
  EXPECT_EQ("new loader bytes", ReadFile(target + "/loader.exe"));
  // Once whole, the file has the mode any new file gets here.
  std::ofstream(target + "/plain") << "x";
  EXPECT_EQ(fs::status(target + "/plain").permissions(), fs::status(target + "/loader.exe").permissions());
  // GetFileFromURL needs no event loop and leaves no reply for the sink.
  EXPECT_TRUE(m_sink.joins.empty());
}

TEST_F(DownloadTest, GivenNameReplacesAnExistingFileAndALinkItself) {
  Plant("mine.bin", "an older and much longer content than the new one");
  EXPECT_EQ(0, m_module->GetFileFromURL(File("files/loader.exe"), m_dir + "/", "mine.bin"));
  EXPECT_EQ("new loader bytes", ReadFile(m_dir + "/mine.bin"));

  // A link planted at the target is replaced; what it points to is untouched.
  Plant("victim", "keep me");
  fs::create_symlink(m_dir + "/victim", m_dir + "/loader.exe");
  EXPECT_EQ(0, m_module->GetFileFromURL(File("files/loader.exe"), m_dir, ""));
  EXPECT_FALSE(fs::is_symlink(m_dir + "/loader.exe"));
  EXPECT_EQ("new loader bytes", ReadFile(m_dir + "/loader.exe"));
  EXPECT_EQ("keep me", ReadFile(m_dir + "/victim"));
}

// Every way of not getting the whole file: the result, and the good file of
// that name stays as it was, with nothing else left in the folder.
TEST_F(DownloadTest, FailuresLeaveTheExistingFileUntouched) {
  struct Case {
    const char* what;
    sitesim::SiteFault::Kind kind;
    int status;
    const char* path;
    int result;
  };
  const Case cases[] = {
      {"404", sitesim::SiteFault::kNone, 0, "files/missing.exe", 4010},
      {"500 page", sitesim::SiteFault::kStatus, 500, "files/loader.exe", 4010},
      {"401 page", sitesim::SiteFault::kStatus, 401, "files/loader.exe", 4010},
      {"body shorter than announced", sitesim::SiteFault::kDropMidBody, 0, "files/loader.exe", 4010},
      {"empty body", sitesim::SiteFault::kEmptyBody, 0, "files/loader.exe", 4010},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Plant(fs::path(c.path).filename().string(), "good");
    sitesim::SiteFault f;
    f.kind = c.kind;
    f.status = c.status;
    f.body = "<html>error page</html>";
    m_sim->SetFault(f);
    EXPECT_EQ(c.result, m_module->GetFileFromURL(File(c.path), m_dir, ""));
    EXPECT_EQ("good", ReadFile(m_dir + "/" + fs::path(c.path).filename().string()));
    EXPECT_EQ(1u, Names().size());
    fs::remove(m_dir + "/" + fs::path(c.path).filename().string());
  }
  QmxConfWebaDiagnosis d{};
  QmxConfWebaGetLastDiagnosis(&d);
  EXPECT_EQ(200u, d.httpStatus);  // the empty body came with a 200

  m_sim->ClearFault();
  const std::string gone = File("files/loader.exe");
  m_sim->Stop();
  EXPECT_EQ(4010, m_module->GetFileFromURL(gone, m_dir, ""));
  QmxConfWebaGetLastDiagnosis(&d);
  EXPECT_EQ(12029u, d.internetError);
  EXPECT_TRUE(Names().empty());
}

TEST_F(DownloadTest, AddressesAndNamesThatAreRefusedBeforeSending) {
  const struct {
    std::string url, name;
  } cases[] = {
      {"", ""},
      {"127.0.0.1/files/loader.exe", ""},
      {"ftp://127.0.0.1:" + std::to_string(m_sim->Port()) + "/files/loader.exe", ""},
      {File("files/loader.exe"), "../x"},
      {File("files/loader.exe"), "a/b"},
      {File("files/loader.exe"), ".."},
      {File("files/loader.exe"), "bad\nname"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url + " " + c.name);
    EXPECT_EQ(10008, m_module->GetFileFromURL(c.url, m_dir, c.name));
  }
  EXPECT_EQ(10008, m_module->GetFileFromURL(File("files/loader.exe"), "", ""));
  EXPECT_TRUE(Traced("Assert failed: !url.empty() && !path.empty()"));
  EXPECT_TRUE(m_sim->Received().empty());
  EXPECT_TRUE(Names().empty());
}

TEST_F(DownloadTest, UnwritableFolderGives4011) {
  if (geteuid() == 0) {
    // root writes anywhere: a folder that is a file stands in.
    Plant("file", "x");
    EXPECT_EQ(4011, m_module->GetFileFromURL(File("files/loader.exe"), m_dir + "/file", ""));
  } else {
    fs::permissions(m_dir, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(4011, m_module->GetFileFromURL(File("files/loader.exe"), m_dir, ""));
    fs::permissions(m_dir, fs::perms::owner_all);
  }
}

TEST_F(DownloadTest, FullDiskGives4011AndRemovesThePart) {
  const std::string small = m_dir + "/small";
  fs::create_directory(small);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << strerror(errno);
  sitesim::SiteFault f;
  f.kind = sitesim::SiteFault::kRawBody;
  f.body = std::string(1 << 20, 'x');
  m_sim->SetFault(f);
  std::ofstream(small + "/loader.exe") << "good";
  EXPECT_EQ(4011, m_module->GetFileFromURL(File("files/loader.exe"), small, ""));
  QmxConfWebaDiagnosis d{};
  QmxConfWebaGetLastDiagnosis(&d);
  EXPECT_EQ(ENOSPC, d.systemError);
  EXPECT_EQ("good", ReadFile(small + "/loader.exe"));
  size_t files = 0;
  for (const auto& e : fs::directory_iterator(small)) files += e.is_regular_file();
  EXPECT_EQ(1u, files);
  umount(small.c_str());
}

}  // namespace
