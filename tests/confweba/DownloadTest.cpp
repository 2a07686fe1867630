// Downloads through libqmxconfweba.so against the loopback server, by both
// entry points: GetFileFromURL, which blocks, and QmxConfWebaStartDownload,
// which completes on the queue. They share their rules (the file's name, a
// target replaced whole or not at all, nothing sent when refused), shown
// here through GetFileFromURL; the asynchronous one is shown for what is its
// own: progress that only grows and ends at the whole count, exactly one
// completion never from inside a call, and a cancel that leaves nothing.
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>

#include "ModuleHost.h"
#include "ConfWebaResults.h"
#include "qmxconfweba_ext.h"
#include "qmxloopback/LoopbackServer.h"

namespace {

namespace fs = std::filesystem;
using qmxloopback::Reply;

struct Completion {
  unsigned id;
  int result;
  std::string path;  // "(null)" when none
};

const std::string kBody(300000, 'x');

Reply Shaped(const std::function<void(Reply&)>& shape) {
  Reply r = Reply::Text(200, kBody);
  shape(r);
  return r;
}

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_queue = QmxThreadAttach();
    ASSERT_NE(nullptr, m_queue);
    ASSERT_TRUE(m_server.Start());
    char tmpl[] = "/tmp/confweba-download-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(tmpl));
    m_dir = tmpl;
  }
  void TearDown() override {
    m_server.Stop();
    QmxFrameworkShutdown();
    QmxThreadDetach();
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }

  static void OnProgress(void* context, unsigned id, long long received, long long total) {
    auto* self = static_cast<DownloadTest*>(context);
    self->m_progress[id].push_back({received, total});
    if (self->m_insideCall) self->m_reentered = true;
  }
  static void OnComplete(void* context, unsigned id, int result, const char* path) {
    auto* self = static_cast<DownloadTest*>(context);
    self->m_done.push_back({id, result, path ? path : "(null)"});
    if (self->m_insideCall) self->m_reentered = true;
    QmxQueueStop(self->m_queue);
  }

  void Serve(const Reply& reply) {
    m_server.SetHandler([reply](const qmxloopback::ReceivedRequest&) { return reply; });
  }
  int Get(const std::string& url, const std::string& folder, const std::string& name = "") {
    return IConfWeba::Instance()->GetFileFromURL(url, folder, name);
  }
  unsigned Start(const std::string& url, const char* name = nullptr, const std::string& folder = "") {
    const QmxDownloadSink sink = {this, &OnProgress, &OnComplete};
    m_insideCall = true;
    const unsigned id = QmxConfWebaStartDownload(url.c_str(), (folder.empty() ? m_dir : folder).c_str(), name, &sink);
    m_insideCall = false;
    return id;
  }
  int Cancel(unsigned id) {
    m_insideCall = true;
    const int rt = QmxConfWebaCancelDownload(id);
    m_insideCall = false;
    return rt;
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(m_dir)) names.push_back(e.path().filename().string());
    return names;
  }
  static QmxConfWebaDiagnosis Diagnosis() {
    QmxConfWebaDiagnosis d{};
    QmxConfWebaGetLastDiagnosis(&d);
    return d;
  }

  IRtEventQueue* m_queue = nullptr;
  qmxloopback::LoopbackServer m_server;
  std::string m_dir;
  std::map<unsigned, std::vector<std::pair<long long, long long>>> m_progress;
  std::vector<Completion> m_done;
  bool m_insideCall = false;
  bool m_reentered = false;
};

// Only a whole body with a 2xx status replaces the file; anything else
// leaves it as it was, with no temporary file beside it. Each reply goes
// through one entry point: the asynchronous one where it has paths of its
// own (progress with an announced length or none, a cut).
TEST_F(DownloadTest, FileIsReplacedWholeOrNotAtAll) {
  const struct {
    const char* label;
    Reply reply;
    int result;
    bool async;
    long long total = 0;  // announced length the progress carries
  } cases[] = {
      {"length", Reply::Text(200, kBody), 0, true, 300000},
      {"chunked", Shaped([](Reply& r) { r.framing = Reply::Framing::kChunked; }), 0, true, -1},
      {"notFound", Reply::Text(404, "no such file"), QMX_ERR_REFUSED, false},
      {"empty", Reply::Text(200, ""), QMX_ERR_REFUSED, false},
      {"cutBody", Shaped([](Reply& r) { r.closeAfterBody = 1000; }), QMX_ERR_REFUSED, true},
  };
  const std::string url = m_server.Url("/files/pkg.bin?v=2"), file = m_dir + "/pkg.bin";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    Serve(c.reply);
    std::ofstream(file) << "good";
    if (c.async) {
      m_done.clear();
      const unsigned id = Start(url);
      ASSERT_NE(0u, id);
      EXPECT_TRUE(m_done.empty());  // never from inside the call
      ASSERT_TRUE(RunUntil([&] { return !m_done.empty(); }));
      QmxThreadRun(50);
      ASSERT_EQ(1u, m_done.size());  // exactly one completion, and nothing more after it
      EXPECT_EQ(c.result, m_done[0].result);
      EXPECT_EQ(id, m_done[0].id);
      EXPECT_EQ(c.result == 0 ? file : "(null)", m_done[0].path);
      EXPECT_EQ(0, Cancel(id));
      if (c.result == 0) {  // counts only grow and end at the whole body, with the announced length throughout
        const auto& p = m_progress[id];
        ASSERT_FALSE(p.empty());
        for (size_t i = 1; i < p.size(); ++i) EXPECT_LT(p[i - 1].first, p[i].first);
        for (const auto& r : p) EXPECT_EQ(c.total, r.second);
        EXPECT_EQ(static_cast<long long>(kBody.size()), p.back().first);
      }
    } else {
      EXPECT_EQ(c.result, Get(url, m_dir));
      EXPECT_EQ(c.reply.status, Diagnosis().httpStatus);
    }
    EXPECT_FALSE(m_reentered);
    EXPECT_TRUE((c.result == 0 ? kBody : "good") == ReadFile(file));
    EXPECT_EQ(std::vector<std::string>{"pkg.bin"}, Names());
  }
}

// Refused before anything is sent: GetFileFromURL says 10008, the
// asynchronous call gives no id and never completes.
TEST_F(DownloadTest, AddressesNamesAndFoldersRefusedBeforeSending) {
  const std::string file = m_server.Url("/files/a.bin");
  std::ofstream(m_dir + "/plain") << "x";
  const struct {
    std::string url, name, folder;
  } cases[] = {
      {"127.0.0.1/files/a.bin", "", m_dir}, {file, "../x", m_dir}, {file, "a/b", m_dir}, {file, "..", m_dir},
      {file, "bad\nname", m_dir},           {file, "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url + " " + c.name + " " + c.folder);
    EXPECT_EQ(10008, Get(c.url, c.folder, c.name));
  }
  EXPECT_EQ(0u, Start(file, "../x"));
  // A folder that cannot be made (its parent is a file), or no sink.
  EXPECT_EQ(0u, Start(file, nullptr, m_dir + "/plain/sub"));
  EXPECT_NE(0, Diagnosis().systemError);
  EXPECT_EQ(0u, QmxConfWebaStartDownload(file.c_str(), m_dir.c_str(), nullptr, nullptr));
  QmxThreadRun(50);
  EXPECT_TRUE(m_done.empty());
  EXPECT_EQ(0u, m_server.RequestCount());
  EXPECT_EQ(std::vector<std::string>{"plain"}, Names());
}

// Folders are made; a link planted at the target is replaced, what it points
// to untouched; the file gets the mode any new file gets here.
TEST_F(DownloadTest, GivenNameReplacesALinkInFoldersItMakes) {
  Serve(Reply::Text(200, "new loader bytes"));
  const std::string target = m_dir + "/a/b";
  fs::create_directories(target);
  std::ofstream(m_dir + "/victim") << "keep me";
  fs::create_symlink(m_dir + "/victim", target + "/mine.bin");
  EXPECT_EQ(0, Get(m_server.Url("/files/loader.exe"), target, "mine.bin"));
  EXPECT_FALSE(fs::is_symlink(target + "/mine.bin"));
  EXPECT_EQ("new loader bytes", ReadFile(target + "/mine.bin"));
  EXPECT_EQ("keep me", ReadFile(m_dir + "/victim"));
  EXPECT_EQ(0, Get(m_server.Url("/files/loader.exe"), m_dir + "/c/d/", ""));
  EXPECT_EQ("new loader bytes", ReadFile(m_dir + "/c/d/loader.exe"));
  std::ofstream(target + "/plain") << "x";
  EXPECT_EQ(fs::status(target + "/plain").permissions(), fs::status(target + "/mine.bin").permissions());
}

// What cannot be written gives 4011 and leaves no part.
TEST_F(DownloadTest, UnwritableFolderOrFullDiskLeavesNoPart) {
  // "tail": 15 pages and a bit, so that only the last bytes, flushed when the
  // file is closed, find the small disk full.
  m_server.SetHandler([](const qmxloopback::ReceivedRequest& r) {
    return Reply::Text(200, std::string(r.target.find("tail") != std::string::npos ? 15 * 4096 + 100 : 1 << 20, 'x'));
  });
  const std::string url = m_server.Url("/files/loader.exe");
  std::ofstream(m_dir + "/file") << "x";
  EXPECT_EQ(4011, Get(url, m_dir + "/file"));  // a folder that is a file: even root cannot write there

  const std::string small = m_dir + "/small";
  fs::create_directory(small);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "cannot mount a small tmpfs here: " << strerror(errno);
  std::ofstream(small + "/loader.exe") << "good";
  EXPECT_EQ(4011, Get(url, small));
  EXPECT_EQ(ENOSPC, Diagnosis().systemError);
  EXPECT_EQ("good", ReadFile(small + "/loader.exe"));
  EXPECT_EQ(4011, Get(url + "?tail", small));
  EXPECT_EQ("good", ReadFile(small + "/loader.exe"));
  EXPECT_EQ(1, std::distance(fs::directory_iterator(small), fs::directory_iterator()));
  umount(small.c_str());
}

TEST_F(DownloadTest, CancelStopsTheTransferAndLeavesNothing) {
  Reply endless;
  endless.endlessBody = true;
  Serve(endless);
  const unsigned id = Start(m_server.Url("/big.iso"), "named.iso");
  ASSERT_NE(0u, id);
  ASSERT_TRUE(RunUntil([&] { return !m_progress[id].empty() && m_progress[id].back().first > 0; }));
  EXPECT_EQ(1, Cancel(id));
  EXPECT_TRUE(m_done.empty());  // the completion comes from the queue
  EXPECT_TRUE(Names().empty());
  EXPECT_EQ(0, Cancel(id));  // once
  ASSERT_TRUE(RunUntil([&] { return !m_done.empty(); }));
  EXPECT_EQ(QMX_ERR_CANCELLED, m_done[0].result);
  EXPECT_EQ("(null)", m_done[0].path);
  EXPECT_FALSE(m_reentered);
  EXPECT_TRUE(m_server.WaitForConnectionsClosed());
  QmxThreadRun(50);
  EXPECT_EQ(1u, m_done.size());
  EXPECT_TRUE(Names().empty());

  // A download still running when the module shuts down stops silently.
  ASSERT_NE(0u, Start(m_server.Url("/big.iso")));
  ASSERT_TRUE(RunUntil([&] { return m_progress.size() == 2; }));
  QmxFrameworkShutdown();
  QmxThreadRun(50);
  EXPECT_EQ(1u, m_done.size());
  EXPECT_TRUE(Names().empty());
}

}  // namespace
