// Allocation-failure torture: the n-th of the module's own non-throwing
// allocations on the owner thread fails, for n = 1, 2, ... until a whole
// operation runs through without reaching n. Every run happens in a child
// process of its own (a fresh module) and must end with a result code the
// host can see (10007 where an allocation failure is reported, or one reply),
// never two replies, no crash, and no module object left once the framework
// has shut down. Under AddressSanitizer each child also checks for leaks.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <map>

#include "RelHost.h"
#include "SiteSimulator.h"

extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace reltest {
namespace {

enum Scenario { kJoin, kInvite, kDownload };

// What a child reports back.
struct Report {
  int injected;  // the failure was handed out
  int counted;   // module allocations on the owner thread
  int callRt;    // result of the failing call (Instance: -2 for null)
  int outcomes;  // sink calls
  int result;    // the sink's result, or the download's return
  long live;     // module objects left after shutdown
  int leaks;     // the leak checker found some
};

int RunChild(Scenario scenario, size_t n, Report& rep) {
  sitesim::SiteData data = sitesim::SiteData::Default();
  data.files.push_back({"/files/loader.bin", "loader bytes", 1000});
  sitesim::CSiteSimulator sim(data);
  if (!sim.Start("127.0.0.1", 0, false, nullptr)) return 10;
  QmxClockSetManual(1, 1000000);
  RecordingSink sink;
  sink.queue = QmxThreadAttach();
  if (!sink.queue) return 11;

  relalloc::ArmFailure(n);
  rep.callRt = 0;
  int rt = 0;
  IConfWeba* module = IConfWeba::Instance();
  if (!module) {
    rep.callRt = -2;
  } else if ((rt = module->Initialize(&sink)) != 0) {
    rep.callRt = rt;
  } else {
    // Absolute: the module makes a missing folder only on an absolute path.
    const std::string dir = std::filesystem::current_path().string() + "/torture-files";
    switch (scenario) {
      case kJoin:
        rt = module->JoinConference(sim.InvitationUrl("123456"), "meet", "ann@example.com", "Ann", "", "");
        break;
      case kInvite:
        rt = module->InviteByEmails(sim.SiteUrl(), "site1", "host", "secret", "123456", {"a@example.com"});
        break;
      case kDownload:
        rep.result = module->GetFileFromURL(sim.BaseUrl() + "files/loader.bin", dir, "");
        break;
    }
    rep.callRt = rt;
    if (scenario != kDownload && rt == 0) {
      // Wait for the reply. A request whose reply cannot be taken (its read
      // buffer was refused) is left to the time-out sweep: once the queue has
      // been idle for a while after an injected failure, the clock moves on.
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(90);
      int idle = 0;
      while (sink.outcomes.empty() && std::chrono::steady_clock::now() < end) {
        const int ran = QmxThreadRun(100);
        idle = ran == 0 ? idle + 1 : 0;
        if (relalloc::FailureInjected() && idle >= 10) {
          QmxClockAdvance(20000);
          QmxThreadRunPending();
        }
      }
    }
  }
  rep.injected = relalloc::FailureInjected();
  rep.counted = static_cast<int>(relalloc::CountedAllocations());
  relalloc::Disarm();
  QmxThreadRunPending();
  rep.outcomes = static_cast<int>(sink.outcomes.size());
  if (!sink.outcomes.empty()) rep.result = sink.outcomes[0].result;
  QmxFrameworkShutdown();
  QmxThreadDetach();
  sim.Stop();
  rep.live = static_cast<long>(relalloc::LiveObjects());
  rep.leaks = __lsan_do_recoverable_leak_check ? __lsan_do_recoverable_leak_check() : 0;
  return 0;
}

// Runs the scenario with the n-th allocation failing in a child; false when
// the child crashed or did not report.
bool RunOnce(Scenario scenario, size_t n, Report& rep, std::string& why) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    Report r{};
    r.result = -1;
    const int code = RunChild(scenario, n, r);
    if (write(fds[1], &r, sizeof r) != static_cast<ssize_t>(sizeof r)) _exit(12);
    _exit(code);
  }
  close(fds[1]);
  const bool got = read(fds[0], &rep, sizeof rep) == static_cast<ssize_t>(sizeof rep);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) {
    why = "killed by signal " + std::to_string(WTERMSIG(status));
    return false;
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || !got) {
    why = "child exited with " + std::to_string(WEXITSTATUS(status));
    return false;
  }
  return true;
}

// Results a host may see from a run that lost an allocation.
void CheckRun(Scenario scenario, size_t n, const Report& r) {
  SCOPED_TRACE("allocation " + std::to_string(n));
  EXPECT_EQ(0, r.live) << "module objects left after shutdown";
  EXPECT_EQ(0, r.leaks) << "leaks";
  if (scenario == kDownload) {
    if (r.callRt == 0) {
      // 4011: the download's own file could not be made.
      EXPECT_TRUE(r.result == 0 || r.result == 4010 || r.result == 4011) << r.result;
    }
    EXPECT_EQ(0, r.outcomes);
    return;
  }
  if (r.callRt != 0) {
    // Refused at once: out of memory (or no module object at all).
    EXPECT_TRUE(r.callRt == 10007 || r.callRt == -2) << r.callRt;
    EXPECT_EQ(0, r.outcomes);
    return;
  }
  ASSERT_EQ(1, r.outcomes) << "a request the module accepted must be answered once";
  // A reply that could not be read ends in the sweep (an empty reply: 4003
  // for a join, 4002 for an invitation). A query value whose code-page
  // conversion lost its buffer goes out empty, so the site may refuse the
  // call (4010, 4020 to 4026).
  const bool refused = r.result == 4010 || (r.result >= 4020 && r.result <= 4026);
  if (scenario == kJoin) {
    EXPECT_TRUE(r.result == 0 || r.result == 4002 || r.result == 4003 || refused) << r.result;
  } else {
    EXPECT_TRUE(r.result == 0 || r.result == 4002 || refused) << r.result;
  }
}

size_t Torture(Scenario scenario) {
  std::map<std::string, int> seen;
  for (size_t n = 1; n <= 400; ++n) {
    Report r{};
    std::string why;
    if (!RunOnce(scenario, n, r, why)) {
      ADD_FAILURE() << "allocation " << n << ": " << why;
      return n;
    }
    if (!r.injected) {
      // The whole operation ran with fewer than n allocations: it must have
      // succeeded, and n - 1 is the depth tortured.
      EXPECT_EQ(0, r.callRt);
      EXPECT_EQ(0, r.result);
      EXPECT_EQ(0, r.live);
      for (const auto& s : seen) std::printf("  %s: %d runs\n", s.first.c_str(), s.second);
      std::printf("torture depth: %zu allocations\n", n - 1);
      ::testing::Test::RecordProperty("torture_depth", static_cast<int>(n - 1));
      return n - 1;
    }
    CheckRun(scenario, n, r);
    ++seen[r.callRt != 0 ? "call " + std::to_string(r.callRt) : "reply " + std::to_string(r.result)];
    if (::testing::Test::HasFatalFailure()) return n;
  }
  ADD_FAILURE() << "the operation never completed";
  return 0;
}

TEST(TortureTest, JoinUnderEveryAllocationFailure) { EXPECT_GT(Torture(kJoin), 5u); }
TEST(TortureTest, InvitationUnderEveryAllocationFailure) { EXPECT_GT(Torture(kInvite), 5u); }
TEST(TortureTest, DownloadUnderEveryAllocationFailure) { EXPECT_GT(Torture(kDownload), 3u); }

}  // namespace
}  // namespace reltest
