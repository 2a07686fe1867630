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
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
    ConfWebaTest::TearDown();
  }
  void Plant(const std::string& name, const std::string& text) { std::ofstream(dir_ + "/" + name) << text; }
  // The names in the folder: a failed download leaves no temporary file.
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string File(const std::string& path) { return sim_->BaseUrl() + path; }
  std::string dir_;
};

TEST_F(DownloadTest, NameComesFromTheLastSegmentAndDirectoriesAreMade) {
  const std::string target = dir_ + "/a/b/c";
  EXPECT_EQ(0, module_->GetFileFromURL(File("files/loader.exe?v=/.profile"), target, ""));
  EXPECT_EQ("new loader bytes", ReadFile(target + "/loader.exe"));
  // Once whole, the file has the mode any new file gets here.
  std::ofstream(target + "/plain") << "x";
  EXPECT_EQ(fs::status(target + "/plain").permissions(), fs::status(target + "/loader.exe").permissions());
  // GetFileFromURL needs no event loop and leaves no reply for the sink.
  EXPECT_TRUE(sink_.joins.empty());
}

TEST_F(DownloadTest, GivenNameReplacesAnExistingFileAndALinkItself) {
  Plant("mine.bin", "an older and much longer content than the new one");
  EXPECT_EQ(0, module_->GetFileFromURL(File("files/loader.exe"), dir_ + "/", "mine.bin"));
  EXPECT_EQ("new loader bytes", ReadFile(dir_ + "/mine.bin"));

  // A link planted at the target is replaced; what it points to is untouched.
  Plant("victim", "keep me");
  fs::create_symlink(dir_ + "/victim", dir_ + "/loader.exe");
  EXPECT_EQ(0, module_->GetFileFromURL(File("files/loader.exe"), dir_, ""));
  EXPECT_FALSE(fs::is_symlink(dir_ + "/loader.exe"));
  EXPECT_EQ("new loader bytes", ReadFile(dir_ + "/loader.exe"));
  EXPECT_EQ("keep me", ReadFile(dir_ + "/victim"));
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
    sim_->SetFault(f);
    EXPECT_EQ(c.result, module_->GetFileFromURL(File(c.path), dir_, ""));
    EXPECT_EQ("good", ReadFile(dir_ + "/" + fs::path(c.path).filename().string()));
    EXPECT_EQ(1u, Names().size());
    fs::remove(dir_ + "/" + fs::path(c.path).filename().string());
  }
  QmxConfWebaDiagnosis d{};
  QmxConfWebaGetLastDiagnosis(&d);
  EXPECT_EQ(200u, d.httpStatus);  // the empty body came with a 200

  sim_->ClearFault();
  const std::string gone = File("files/loader.exe");
  sim_->Stop();
  EXPECT_EQ(4010, module_->GetFileFromURL(gone, dir_, ""));
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
      {"ftp://127.0.0.1:" + std::to_string(sim_->Port()) + "/files/loader.exe", ""},
      {File("files/loader.exe"), "../x"},
      {File("files/loader.exe"), "a/b"},
      {File("files/loader.exe"), ".."},
      {File("files/loader.exe"), "bad\nname"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url + " " + c.name);
    EXPECT_EQ(10008, module_->GetFileFromURL(c.url, dir_, c.name));
  }
  EXPECT_EQ(10008, module_->GetFileFromURL(File("files/loader.exe"), "", ""));
  EXPECT_TRUE(Traced("Assert failed: !url.empty() && !path.empty()"));
  EXPECT_TRUE(sim_->Received().empty());
  EXPECT_TRUE(Names().empty());
}

TEST_F(DownloadTest, UnwritableFolderGives4011) {
  if (geteuid() == 0) {
    // root writes anywhere: a folder that is a file stands in.
    Plant("file", "x");
    EXPECT_EQ(4011, module_->GetFileFromURL(File("files/loader.exe"), dir_ + "/file", ""));
  } else {
    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(4011, module_->GetFileFromURL(File("files/loader.exe"), dir_, ""));
    fs::permissions(dir_, fs::perms::owner_all);
  }
}

TEST_F(DownloadTest, FullDiskGives4011AndRemovesThePart) {
  const std::string small = dir_ + "/small";
  fs::create_directory(small);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << strerror(errno);
  sitesim::SiteFault f;
  f.kind = sitesim::SiteFault::kRawBody;
  f.body = std::string(1 << 20, 'x');
  sim_->SetFault(f);
  std::ofstream(small + "/loader.exe") << "good";
  EXPECT_EQ(4011, module_->GetFileFromURL(File("files/loader.exe"), small, ""));
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
