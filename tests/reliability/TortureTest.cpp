// Allocation-failure torture: the n-th of the module's own non-throwing
// allocations on the owner thread fails, for n = 1, 2, ... until a whole
// operation runs through without reaching n. Every run happens in a child
// process of its own (a fresh module) and must end with a result code the
// host can see (10007 where an allocation failure is reported, or one reply),
// never two replies, no crash, and no module object left once the framework
// has shut down. Under AddressSanitizer each child also checks for leaks.
#include <filesystem>

#include "RelHost.h"
#include "SiteSimulator.h"
#include "qmxclock.h"

extern "C" int __lsan_do_recoverable_leak_check() __attribute__((weak));

namespace reltest {
namespace {

enum Scenario { kJoin, kInvite, kDownload };

// What a child reports back.
struct Report {
  int ran, injected;  // the child got as far as the report; the failure was handed out
  int callRt;         // result of the failing call (-2: no module object)
  int outcomes;       // sink calls
  int result;         // the sink's result, or the download's return
  long live;          // module objects left after shutdown
  int leaks;          // the leak checker found some
};

void RunChild(Scenario scenario, size_t n, Report& rep) {
  sitesim::SiteData data = sitesim::SiteData::Default();
  data.files.push_back({"/files/loader.bin", "loader bytes", 1000});
  sitesim::CSiteSimulator sim(data);
  RecordingSink sink;
  if (!sim.Start() || !(sink.queue = QmxThreadAttach())) return;
  QmxClockSetManual(1, 1000000);
  relalloc::ArmFailure(n);
  IConfWeba* module = IConfWeba::Instance();
  rep.callRt = module ? module->Initialize(&sink) : -2;
  if (rep.callRt == 0) {
    // Absolute: the module makes a missing folder only on an absolute path.
    const std::string dir = std::filesystem::current_path().string() + "/torture-files";
    if (scenario == kJoin)
      rep.callRt = module->JoinConference(sim.InvitationUrl("123456"), "meet", "ann@example.com", "Ann", "", "");
    else if (scenario == kInvite)
      rep.callRt = module->InviteByEmails(sim.SiteUrl(), "site1", "host", "secret", "123456", {"a@example.com"});
    else
      rep.result = module->GetFileFromURL(sim.BaseUrl() + "files/loader.bin", dir, "");
    // A request whose reply cannot be taken (its read buffer was refused) is
    // left to the time-out sweep: once the queue has been idle for a while
    // after an injected failure, the clock moves on.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    for (int idle = 0;
         scenario != kDownload && rep.callRt == 0 && sink.outcomes.empty() && std::chrono::steady_clock::now() < end;) {
      idle = QmxThreadRun(100) == 0 ? idle + 1 : 0;
      if (relalloc::FailureInjected() && idle >= 10) QmxClockAdvance(20000), QmxThreadRunPending();
    }
  }
  rep.injected = relalloc::FailureInjected();
  relalloc::Disarm();
  QmxThreadRunPending();
  rep.outcomes = static_cast<int>(sink.outcomes.size());
  if (!sink.outcomes.empty()) rep.result = sink.outcomes[0].result;
  QmxFrameworkShutdown();
  QmxThreadDetach();
  sim.Stop();
  rep.live = static_cast<long>(relalloc::LiveObjects());
  rep.leaks = __lsan_do_recoverable_leak_check ? __lsan_do_recoverable_leak_check() : 0;
  rep.ran = 1;
}

// Runs the scenario with the n-th allocation failing in a child; false when
// the child crashed or did not report.
bool RunOnce(Scenario scenario, size_t n, Report& rep) {
  pid_t pid = -1;
  const bool got = InChild<Report>(
      rep, [&](Report& r) { r.result = -1, RunChild(scenario, n, r); }, false, pid);
  int status = 0;
  if (pid > 0) waitpid(pid, &status, 0);
  return got && rep.ran && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Returns the depth tortured: the number of allocations of a whole operation.
size_t Torture(Scenario scenario) {
  for (size_t n = 1; n <= 400; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    Report r{};
    if (!RunOnce(scenario, n, r)) {
      ADD_FAILURE() << "the child crashed or did not report";
      return n;
    }
    EXPECT_EQ(0, r.live) << "module objects left after shutdown";
    EXPECT_EQ(0, r.leaks) << "leaks";
    if (!r.injected) {
      // The whole operation ran with fewer than n allocations: it succeeded.
      EXPECT_EQ(0, r.callRt);
      EXPECT_EQ(0, r.result);
      std::printf("torture depth: %zu allocations\n", n - 1);
      return n - 1;
    }
    if (r.callRt != 0 || scenario == kDownload) {
      // Refused at once: out of memory (or no module object at all). 4011:
      // the download's own file could not be made.
      EXPECT_TRUE(r.callRt == 10007 || r.callRt == -2 || r.callRt == 0) << r.callRt;
      EXPECT_TRUE(r.callRt != 0 || r.result == 0 || r.result == 4010 || r.result == 4011) << r.result;
      EXPECT_EQ(0, r.outcomes);
    } else {
      EXPECT_EQ(1, r.outcomes) << "a request the module accepted must be answered once";
      // A reply that could not be read ends in the sweep (an empty reply:
      // 4003 for a join, 4002 for an invitation). A query value whose
      // code-page conversion lost its buffer goes out empty, so the site may
      // refuse the call (4010, 4020 to 4026).
      const bool refused = r.result == 4010 || (r.result >= 4020 && r.result <= 4026);
      const bool empty = r.result == 4002 || (scenario == kJoin && r.result == 4003);
      EXPECT_TRUE(r.result == 0 || empty || refused) << r.result;
    }
    if (::testing::Test::HasFailure()) return n;
  }
  ADD_FAILURE() << "the operation never completed";
  return 0;
}

TEST(TortureTest, JoinUnderEveryAllocationFailure) { EXPECT_GT(Torture(kJoin), 5u); }
TEST(TortureTest, InvitationUnderEveryAllocationFailure) { EXPECT_GT(Torture(kInvite), 5u); }
TEST(TortureTest, DownloadUnderEveryAllocationFailure) { EXPECT_GT(Torture(kDownload), 3u); }

}  // namespace
}  // namespace reltest
