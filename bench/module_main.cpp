// The module side of the benchmarks: a host of libqmxconfweba.so on its own
// thread's framework queue, and the HTTP client where a case needs many
// requests on one site.
//
//   qmxbench-module join     --base B --n N [--warmup W]  JoinConference until the sink has the result
//   qmxbench-module batch    --base B --n P [--rounds R]  P requests at once on one site, R times
//   qmxbench-module read     --base B --path F --n K      K asynchronous GETs read in pieces
//   qmxbench-module download --url U --dir D              GetFileFromURL
//   qmxbench-module queue    --n N [--burst B]            cross-thread delivery through framework queues
//
// Record files go next to the executable, as for any host; bench/run runs a
// copy of it from a scratch directory. Each case prints one JSON line.
#include <poll.h>

#include <string>
#include <thread>

#include "BenchUtil.h"
#include "IConfWeba.h"
#include "httpclient.h"
#include "qmxframework.h"

namespace {

using bench::Clock;

const int kWaitMs = 60000;

// A host's own loop: waits on the queue's descriptor and runs what is
// pending, until done() holds or the wait is over.
template <typename Done>
bool RunUntil(Done done) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
  struct pollfd p = {QmxThreadPollFd(), POLLIN, 0};
  while (!done()) {
    if (Clock::now() > deadline) return false;
    const int next = QmxThreadNextTimeoutMs();
    poll(&p, 1, next < 0 || next > 1000 ? 1000 : next);
    QmxThreadRunPending();
  }
  return true;
}

class JoinSink : public IConfWebaSink {
 public:
  void OnInviteByEmails(int) override {}
  void OnJoinConference(int result, const CRtString& url, const CRtString&, const CRtString&) override {
    ++count;
    if (result != 0 || url.empty()) ++failures;
  }
  long count = 0, failures = 0;
};

int Join(const bench::Options& opt) {
  const CRtString emailUrl = opt.Text("base") + "site1/j.php?confKey=123456";
  const long n = opt.Number("n", 100), warmup = opt.Number("warmup", 20);
  JoinSink sink;
  IConfWeba* weba = IConfWeba::Instance();
  if (!weba || weba->Initialize(&sink) != 0) return bench::Fail("join: no module");
  long rssOneJoin = 0;
  auto once = [&]() -> bool {
    const long before = sink.count;
    if (weba->JoinConference(emailUrl, "meet", "ann@example.org", "Ann Example", "", "") != 0) return false;
    return RunUntil([&] { return sink.count != before; });
  };
  for (long i = 0; i < warmup; ++i) {
    if (!once()) return bench::Fail("join: no reply");
    if (i == 0) rssOneJoin = bench::RssKiB();
  }
  const Clock::time_point start = Clock::now();
  for (long i = 0; i < n; ++i)
    if (!once()) return bench::Fail("join: no reply");
  const double seconds = bench::SecondsSince(start);
  if (sink.failures) return bench::Fail("join: failed replies");
  bench::Report report;
  report.Add("us_per_join", seconds * 1e6 / n);
  report.Add("rss_one_join_kib", rssOneJoin);
  report.Print();
  return 0;
}

class CountingSink : public ISiteClientSink {
 public:
  int OnRequest(DWORD, int aResult, CRtString& aContent) override {
    ++count;
    bytes += aContent.size();
    if (aResult != 0 || aContent.empty()) ++failures;
    return 0;
  }
  long count = 0, failures = 0;
  double bytes = 0;
};

// A site on the server with this sink; null on failure.
ISiteClient* OpenSite(const CRtString& base, CountingSink* sink) {
  ISiteClient* site = nullptr;
  if (CHttpClient::Instance()->InitSite(base, &site) != 0 || !site) return nullptr;
  site->OpenWith(sink);
  return site;
}

int Batch(const bench::Options& opt) {
  const long n = opt.Number("n", 100), rounds = opt.Number("rounds", 1);
  const CRtString objName = "site1/" + bench::JoinQuery();
  CountingSink sink;
  ISiteClient* site = OpenSite(opt.Text("base"), &sink);
  if (!site) return bench::Fail("batch: no site");
  auto run = [&](long count, long* rssDelta) -> bool {
    const long target = sink.count + count;
    const long before = bench::RssKiB();
    for (long i = 0; i < count; ++i) {
      DWORD key = 0;
      if (site->Request(&key, objName, "GET", "", nullptr, 0) != 0) return false;
    }
    if (rssDelta) *rssDelta = bench::RssKiB() - before;
    return RunUntil([&] { return sink.count >= target; });
  };
  if (!run(std::min(n, 20L), nullptr)) return bench::Fail("batch: warm-up failed");
  long rssDelta = 0;
  bool ok = true;
  const Clock::time_point start = Clock::now();
  for (long r = 0; r < rounds && ok; ++r) ok = run(n, r == 0 ? &rssDelta : nullptr);
  const double seconds = bench::SecondsSince(start);
  CHttpClient::Instance()->CloseSite(site);
  site->ReleaseReference();
  if (!ok || sink.failures) return bench::Fail("batch: requests failed");
  bench::Report report;
  report.Add("us_per_request", seconds * 1e6 / (n * rounds));
  report.Add("kib_per_pending", static_cast<double>(rssDelta) / n);
  report.Print();
  return 0;
}

int Read(const bench::Options& opt) {
  const long n = opt.Number("n", 10);
  const CRtString objName = opt.Text("path");
  CountingSink sink;
  ISiteClient* site = OpenSite(opt.Text("base"), &sink);
  if (!site) return bench::Fail("read: no site");
  auto once = [&]() -> bool {
    const long before = sink.count;
    DWORD key = 0;
    if (site->Request(&key, objName, "GET", "", nullptr, 0) != 0) return false;
    return RunUntil([&] { return sink.count != before; });
  };
  if (!once()) return bench::Fail("read: request failed");
  sink.bytes = 0;
  const Clock::time_point start = Clock::now();
  for (long i = 0; i < n; ++i)
    if (!once()) return bench::Fail("read: request failed");
  const double seconds = bench::SecondsSince(start);
  CHttpClient::Instance()->CloseSite(site);
  site->ReleaseReference();
  if (sink.failures) return bench::Fail("read: failed replies");
  bench::Report report;
  report.Add("ms_per_mib", seconds * 1e3 / (sink.bytes / 1048576.0));
  report.Print();
  return 0;
}

int Download(const bench::Options& opt) {
  const CRtString url = opt.Text("url"), dir = opt.Text("dir");
  IConfWeba* weba = IConfWeba::Instance();
  if (!weba || weba->Initialize(nullptr) != 0) return bench::Fail("download: no module");
  const long rssStart = bench::RssKiB();
  const Clock::time_point start = Clock::now();
  if (weba->GetFileFromURL(url, dir, "") != 0) return bench::Fail("download: failed");
  const double seconds = bench::SecondsSince(start);
  const CRtString name = url.substr(url.rfind('/') + 1);
  FILE* f = fopen((dir + "/" + name).c_str(), "rb");
  if (!f) return bench::Fail("download: no file");
  fseek(f, 0, SEEK_END);
  const double bytes = static_cast<double>(ftell(f));
  fclose(f);
  bench::Report report;
  report.Add("mib_per_s", bytes / 1048576.0 / seconds);
  report.Add("peak_rss_mib", bench::PeakRssKiB() / 1024.0);
  report.Add("start_rss_mib", rssStart / 1024.0);
  report.Add("file_mib", bytes / 1048576.0);
  report.Print();
  return 0;
}

// The same exchange as the plain side's queue case, over framework queues:
// the worker posts to the owner thread and waits for the answer on a queue
// of its own.
struct QueueState {
  IRtEventQueue* owner = nullptr;
  IRtEventQueue* worker = nullptr;
  long fired = 0;
};

class CAnswerEvent : public IRtEvent {
 public:
  explicit CAnswerEvent(QueueState* s) : m_state(s) {}
  int OnEventFire() override {
    QmxQueueStop(m_state->worker);
    return 0;
  }

 private:
  QueueState* m_state;
};

class CWorkEvent : public IRtEvent {
 public:
  CWorkEvent(QueueState* s, bool last, bool answer) : m_state(s), m_last(last), m_answer(answer) {}
  int OnEventFire() override {
    ++m_state->fired;
    if (m_answer) m_state->worker->PostEvent(new CAnswerEvent(m_state));
    if (m_last) QmxQueueStop(m_state->owner);
    return 0;
  }

 private:
  QueueState* m_state;
  bool m_last, m_answer;
};

int Queue(const bench::Options& opt) {
  const long n = opt.Number("n", 10000), burst = opt.Number("burst", 1);
  const long rounds = std::max(1L, n / burst);
  QueueState state;
  state.owner = CRtThreadManager::Instance()->GetThreadEventQueue(CRtThreadManager::TT_CURRENT);
  const Clock::time_point start = Clock::now();
  std::thread poster([&] {
    state.worker = QmxThreadAttach();
    for (long r = 0; r < rounds; ++r) {
      for (long i = 0; i < burst; ++i) {
        const bool end = i == burst - 1;
        state.owner->PostEvent(new CWorkEvent(&state, end && r == rounds - 1, end && r != rounds - 1));
      }
      if (r != rounds - 1) QmxThreadRun(-1);
    }
    QmxThreadDetach();
  });
  QmxThreadRun(-1);
  const double seconds = bench::SecondsSince(start);
  poster.join();
  if (state.fired != rounds * burst) return bench::Fail("queue: events lost");
  bench::Report report;
  report.Add("ns_per_event", seconds * 1e9 / state.fired);
  report.Print();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return bench::Fail("usage: qmxbench-module CASE [--name value]...");
  const std::string name = argv[1];
  const bench::Options opt(argc, argv);
  if (!QmxThreadAttach()) return bench::Fail("no event queue");
  int rc = 2;
  if (name == "join")
    rc = Join(opt);
  else if (name == "batch")
    rc = Batch(opt);
  else if (name == "read")
    rc = Read(opt);
  else if (name == "download")
    rc = Download(opt);
  else if (name == "queue")
    rc = Queue(opt);
  else
    bench::Fail("unknown case");
  QmxFrameworkShutdown();
  QmxThreadDetach();
  return rc;
}
