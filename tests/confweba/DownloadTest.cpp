// GetFileFromURL through libqmxconfweba.so against the simulator's files.
#include <stdlib.h>

#include <filesystem>

#include "ConfWebaFixture.h"

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
  std::string dir_;
};

TEST_F(DownloadTest, NameComesFromTheUrlWithItsQueryAndDirectoriesAreMade) {
  const std::string target = dir_ + "/a/b/c";
  EXPECT_EQ(0, module_->GetFileFromURL(sim_->BaseUrl() + "files/loader.exe?v=2", target, ""));
  EXPECT_EQ("new loader bytes", ReadFile(target + "/loader.exe?v=2"));
  // GetFileFromURL needs no event loop and leaves no reply for the sink.
  EXPECT_TRUE(sink_.joins.empty());
}

TEST_F(DownloadTest, GivenNameReplacesAnExistingFile) {
  {
    std::ofstream old(dir_ + "/mine.bin");
    old << "an older and much longer content than the new one";
  }
  EXPECT_EQ(0, module_->GetFileFromURL(sim_->BaseUrl() + "files/loader.exe", dir_ + "/", "mine.bin"));
  EXPECT_EQ("new loader bytes", ReadFile(dir_ + "/mine.bin"));
}

TEST_F(DownloadTest, NoBodyGives4010) {
  EXPECT_EQ(4010, module_->GetFileFromURL(sim_->BaseUrl() + "files/empty.bin", dir_, ""));
  EXPECT_TRUE(Traced("CWebBaseImp::GetFileFromUrl, no file content!"));
  EXPECT_FALSE(fs::exists(dir_ + "/empty.bin"));

  const std::string gone = sim_->BaseUrl() + "files/loader.exe";
  sim_->Stop();
  EXPECT_EQ(4010, module_->GetFileFromURL(gone, dir_, ""));
  // No "//": nothing is asked of any site.
  EXPECT_EQ(4010, module_->GetFileFromURL("127.0.0.1/files/loader.exe", dir_, ""));
}

TEST_F(DownloadTest, UnwritableTargetStillReports0) {
  // The URL ends in "/": the file name is empty and the open fails quietly.
  sitesim::SiteFault f;
  f.kind = sitesim::SiteFault::kRawBody;
  f.body = "index";
  sim_->SetFault(f);
  EXPECT_EQ(0, module_->GetFileFromURL(sim_->BaseUrl() + "files/", dir_, ""));
  EXPECT_EQ(0, module_->GetFileFromURL(sim_->BaseUrl() + "files/x", "/proc/no-such-dir", ""));
}

TEST_F(DownloadTest, MissingArgumentsGive10008) {
  EXPECT_EQ(10008, module_->GetFileFromURL("", dir_, ""));
  EXPECT_EQ(10008, module_->GetFileFromURL(sim_->BaseUrl() + "files/loader.exe", "", ""));
  EXPECT_TRUE(Traced("Assert failed: !url.empty() && !path.empty()"));
}

}  // namespace
