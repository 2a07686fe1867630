// The plain side of the benchmarks: what a careful programmer writes with
// libcurl and pugixml directly, and a mutex-and-condition-variable queue.
//
//   qmxbench-plain join-new   --url U --n N [--warmup W]  GET + parse, new easy handle each time
//   qmxbench-plain join-reuse --url U --n N [--warmup W]  the same on one reused handle
//   qmxbench-plain batch      --url U --n P [--cap C] [--rounds R]
//                                                          P transfers at once on one multi handle, R times
//   qmxbench-plain read       --url U --n K [--record F]  K GETs into a buffer reserved from Content-Length;
//                                                          with F, each piece also recorded there as the
//                                                          module records it
//   qmxbench-plain download   --url U --dir D             GET into a reserved buffer, every piece also
//                                                          appended to a record file, then the file written
//   qmxbench-plain queue      --n N [--burst B]           cross-thread delivery through a locked queue
//
// Each prints one JSON line of figures.
#include <curl/curl.h>

#include <pugixml.hpp>

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "BenchUtil.h"

namespace {

using bench::Clock;

size_t AppendBody(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

class PieceRecord;

// Reserves the body buffer from Content-Length once the headers are in.
struct Reserved {
  CURL* easy = nullptr;
  std::string body;
  bool reserved = false;
  FILE* record = nullptr;         // every piece is also appended here when set
  PieceRecord* pieces = nullptr;  // or recorded here, piece by piece
};

size_t AppendReserved(char* data, size_t size, size_t count, void* user) {
  Reserved* r = static_cast<Reserved*>(user);
  const size_t n = size * count;
  if (!r->reserved) {
    curl_off_t length = -1;
    if (curl_easy_getinfo(r->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length > 0) {
      r->body.reserve(static_cast<size_t>(length));
    }
    r->reserved = true;
  }
  r->body.append(data, n);
  if (r->record && fwrite(data, 1, n, r->record) != n) return 0;
  return n;
}

// What the module gives its host from a join reply: the result and the two
// configuration texts with the loader's address.
struct JoinResult {
  bool ok = false;
  std::string downloadUrl, loaderIni, tokenIni;
};

void StripDollars(std::string& text) {
  for (size_t p = text.find('$'); p != std::string::npos; p = text.find('$', p)) text.erase(p, 1);
}

JoinResult ParseJoin(const std::string& reply) {
  JoinResult r;
  pugi::xml_document doc;
  if (!doc.load_buffer(reply.data(), reply.size())) return r;
  pugi::xml_node root = doc.child("root");
  if (strcmp(root.child("header").child_value("success"), "true") != 0) return r;
  pugi::xml_node body = root.child("body");
  r.tokenIni = "[Parlevo]\n";
  for (pugi::xml_node e : body.child("confToken").children("entry")) {
    const char* key = e.child_value("key");
    if (*key) r.tokenIni += std::string(key) + "=" + e.child_value("value") + "\n";
  }
  StripDollars(r.tokenIni);
  r.loaderIni = "[qmxloader]\n";
  for (pugi::xml_node e : body.child("downLoad").children("entry")) {
    const std::string key = e.child_value("key");
    if (key == "LoaderURL")
      r.downloadUrl = e.child_value("value");
    else if (!key.empty())
      r.loaderIni += key + "=" + e.child_value("value") + "\n";
  }
  StripDollars(r.loaderIni);
  r.ok = true;
  return r;
}

bool GetInto(CURL* easy, const std::string& url, std::string& body) {
  body.clear();
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, AppendBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &body);
  long status = 0;
  if (curl_easy_perform(easy) != CURLE_OK) return false;
  curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
  return status == 200;
}

int Join(const bench::Options& opt, bool reuse) {
  const std::string url = opt.Text("url");
  const long n = opt.Number("n", 100), warmup = opt.Number("warmup", 20);
  CURL* shared = reuse ? curl_easy_init() : nullptr;
  std::string body;
  long failures = 0, rssOneJoin = 0;
  auto once = [&]() {
    CURL* easy = reuse ? shared : curl_easy_init();
    const bool got = GetInto(easy, url, body);
    if (!reuse) curl_easy_cleanup(easy);
    if (!got || !ParseJoin(body).ok) ++failures;
  };
  for (long i = 0; i < warmup; ++i) {
    once();
    if (i == 0) rssOneJoin = bench::RssKiB();
  }
  const Clock::time_point start = Clock::now();
  for (long i = 0; i < n; ++i) once();
  const double seconds = bench::SecondsSince(start);
  if (shared) curl_easy_cleanup(shared);
  if (failures) return bench::Fail("join: requests failed");
  bench::Report report;
  report.Add("us_per_join", seconds * 1e6 / n);
  report.Add("rss_one_join_kib", rssOneJoin);
  report.Print();
  return 0;
}

// P transfers started at once on one multi handle, with the per-server
// connection cap the module's transport applies; done when all are in.
int Batch(const bench::Options& opt) {
  const std::string url = opt.Text("url");
  const long n = opt.Number("n", 100), cap = opt.Number("cap", 6), rounds = opt.Number("rounds", 1);
  CURLM* multi = curl_multi_init();
  curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, cap);

  struct Transfer {
    CURL* easy;
    std::string body;
  };
  auto run = [&](long count, long* rssDelta) -> long {
    std::vector<std::unique_ptr<Transfer>> transfers;
    transfers.reserve(count);
    const long before = bench::RssKiB();
    for (long i = 0; i < count; ++i) {
      std::unique_ptr<Transfer> t(new Transfer{curl_easy_init(), std::string()});
      curl_easy_setopt(t->easy, CURLOPT_URL, url.c_str());
      curl_easy_setopt(t->easy, CURLOPT_NOSIGNAL, 1L);
      curl_easy_setopt(t->easy, CURLOPT_WRITEFUNCTION, AppendBody);
      curl_easy_setopt(t->easy, CURLOPT_WRITEDATA, &t->body);
      curl_easy_setopt(t->easy, CURLOPT_PRIVATE, t.get());
      curl_multi_add_handle(multi, t->easy);
      transfers.push_back(std::move(t));
    }
    if (rssDelta) *rssDelta = bench::RssKiB() - before;
    long done = 0, failed = 0;
    int running = 1;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(120);
    while (done < count && Clock::now() < deadline) {
      curl_multi_perform(multi, &running);
      int left = 0;
      while (CURLMsg* m = curl_multi_info_read(multi, &left)) {
        if (m->msg != CURLMSG_DONE) continue;
        long status = 0;
        curl_easy_getinfo(m->easy_handle, CURLINFO_RESPONSE_CODE, &status);
        if (m->data.result != CURLE_OK || status != 200) ++failed;
        CURL* easy = m->easy_handle;
        curl_multi_remove_handle(multi, easy);
        curl_easy_cleanup(easy);
        ++done;
      }
      // libcurl 7.88 now and then leaves a transfer queued by the connection
      // cap with neither a socket nor a timer to wake it: only the next
      // curl_multi_perform starts it. A short poll keeps such a stall at
      // 1 ms instead of the whole time-out.
      if (done < count) curl_multi_poll(multi, nullptr, 0, 1, nullptr);
    }
    return done == count ? failed : count;
  };
  if (run(std::min(n, 20L), nullptr)) return bench::Fail("batch: warm-up failed");
  long rssDelta = 0, failed = 0;
  const Clock::time_point start = Clock::now();
  for (long r = 0; r < rounds && !failed; ++r) failed = run(n, r == 0 ? &rssDelta : nullptr);
  const double seconds = bench::SecondsSince(start);
  curl_multi_cleanup(multi);
  if (failed) return bench::Fail("batch: transfers failed");
  bench::Report report;
  report.Add("us_per_request", seconds * 1e6 / (n * rounds));
  report.Add("kib_per_pending", static_cast<double>(rssDelta) / n);
  report.Print();
  return 0;
}

// A record file kept the way the module keeps its own, so that a comparison
// can charge the plain side the same writes: one stamped line per entry
// ("mm-dd hh:mm:ss[key]:data"), each made whole in a buffer and written at
// once through an unbuffered append stream; a reply's pieces up to 64 KiB,
// cut into the module's 2047-byte read pieces, then one line saying how much
// was left out.
class PieceRecord {
 public:
  static const size_t kPiece = 2047;
  static const size_t kReplyCap = 64 * 1024;

  explicit PieceRecord(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) m_file = fdopen(fd, "a");
    if (m_file) setvbuf(m_file, nullptr, _IONBF, 0);
  }
  ~PieceRecord() {
    if (m_file) fclose(m_file);
  }
  bool ok() const { return m_file != nullptr; }

  // A new reply: its opening entry is the object's name.
  void Open(const std::string& name) {
    ++m_key;
    m_written = 0;
    m_leftOut = 0;
    Entry(name.data(), name.size());
  }
  // Data as it arrives: cut into full read pieces, as the module's reads
  // fill their block from what has come in.
  void Pieces(const char* data, size_t n) {
    m_pending.append(data, n);
    size_t at = 0;
    for (; m_pending.size() - at >= kPiece; at += kPiece) Piece(m_pending.data() + at, kPiece);
    m_pending.erase(0, at);
  }
  void End() {
    if (!m_pending.empty()) Piece(m_pending.data(), m_pending.size());
    m_pending.clear();
    if (!m_leftOut) return;
    char text[64];
    const int n = snprintf(text, sizeof(text), "... %llu bytes left out", (unsigned long long)m_leftOut);
    Entry(text, n > 0 ? (size_t)n : 0);
  }

 private:
  void Entry(const char* data, size_t n) {
    const time_t now = time(nullptr);
    if (now != m_second) {
      struct tm local;
      localtime_r(&now, &local);
      strftime(m_stamp, sizeof(m_stamp), "%m-%d %H:%M:%S", &local);
      m_second = now;
    }
    char key[32];
    snprintf(key, sizeof(key), "[%5d]:", (int)m_key);
    m_line.assign(m_stamp).append(key).append(data, n).push_back('\n');
    fwrite(m_line.data(), 1, m_line.size(), m_file);
    fflush(m_file);
  }

  void Piece(const char* data, size_t n) {
    const size_t kept = std::min(n, kReplyCap - m_written);
    m_leftOut += n - kept;
    if (kept) Entry(data, kept);
    m_written += kept;
  }

  FILE* m_file = nullptr;
  std::string m_pending;
  unsigned m_key = 0;
  size_t m_written = 0;
  unsigned long long m_leftOut = 0;
  time_t m_second = -1;
  char m_stamp[32] = {0};
  std::string m_line;
};

size_t AppendRecorded(char* data, size_t size, size_t count, void* user) {
  Reserved* r = static_cast<Reserved*>(user);
  const size_t n = AppendReserved(data, size, count, user);
  if (n && r->pieces) r->pieces->Pieces(data, n);
  return n;
}

int Read(const bench::Options& opt) {
  const std::string url = opt.Text("url"), recordPath = opt.Text("record");
  const long n = opt.Number("n", 10);
  std::unique_ptr<PieceRecord> record;
  if (!recordPath.empty()) {
    record.reset(new PieceRecord(recordPath));
    if (!record->ok()) return bench::Fail("read: cannot open the record file");
  }
  const std::string name = url.substr(url.find('/', url.find("//") + 2) + 1);
  CURL* easy = curl_easy_init();
  double bytes = 0;
  auto once = [&]() -> bool {
    Reserved r;
    r.easy = easy;
    r.pieces = record.get();
    if (record) record->Open(name);
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, record ? AppendRecorded : AppendReserved);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &r);
    const bool got = curl_easy_perform(easy) == CURLE_OK && !r.body.empty();
    if (record) record->End();
    if (!got) return false;
    bytes += r.body.size();
    return true;
  };
  if (!once()) return bench::Fail("read: request failed");
  bytes = 0;
  const Clock::time_point start = Clock::now();
  for (long i = 0; i < n; ++i)
    if (!once()) return bench::Fail("read: request failed");
  const double seconds = bench::SecondsSince(start);
  curl_easy_cleanup(easy);
  bench::Report report;
  report.Add("ms_per_mib", seconds * 1e3 / (bytes / 1048576.0));
  report.Print();
  return 0;
}

int Download(const bench::Options& opt) {
  const std::string url = opt.Text("url"), dir = opt.Text("dir");
  const std::string name = url.substr(url.rfind('/') + 1);
  const long rssStart = bench::RssKiB();
  const Clock::time_point start = Clock::now();
  CURL* easy = curl_easy_init();
  Reserved r;
  r.easy = easy;
  r.record = fopen((dir + "/record.bin").c_str(), "ab");
  if (!r.record) return bench::Fail("download: cannot open the record file");
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, AppendReserved);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &r);
  const CURLcode rc = curl_easy_perform(easy);
  curl_easy_cleanup(easy);
  fclose(r.record);
  if (rc != CURLE_OK || r.body.empty()) return bench::Fail("download: request failed");
  FILE* out = fopen((dir + "/" + name).c_str(), "wb");
  if (!out || fwrite(r.body.data(), 1, r.body.size(), out) != r.body.size()) return bench::Fail("download: write");
  fclose(out);
  const double seconds = bench::SecondsSince(start);
  bench::Report report;
  report.Add("mib_per_s", r.body.size() / 1048576.0 / seconds);
  report.Add("peak_rss_mib", bench::PeakRssKiB() / 1024.0);
  report.Add("start_rss_mib", rssStart / 1024.0);
  report.Add("file_mib", r.body.size() / 1048576.0);
  report.Print();
  return 0;
}

// A plain locked queue of heap events, as a programmer would write one.
struct Event {
  virtual ~Event() {}
  virtual void Fire() = 0;
};

class LockedQueue {
 public:
  void Post(Event* e) {
    {
      std::lock_guard<std::mutex> lock(m_mu);
      m_events.push_back(e);
    }
    m_cv.notify_one();
  }
  // Runs events until one of them calls Stop.
  void Run() {
    std::unique_lock<std::mutex> lock(m_mu);
    while (!m_stop) {
      m_cv.wait(lock, [this] { return !m_events.empty() || m_stop; });
      while (!m_events.empty()) {
        Event* e = m_events.front();
        m_events.pop_front();
        lock.unlock();
        e->Fire();
        delete e;
        lock.lock();
      }
    }
    m_stop = false;
  }
  void Stop() { m_stop = true; }  // from an event of this queue

 private:
  std::mutex m_mu;
  std::condition_variable m_cv;
  std::deque<Event*> m_events;
  bool m_stop = false;
};

// The owner thread runs `owner`; the worker posts to it and waits for the
// owner's answer on its own queue: one event at a time (burst 1), or bursts
// whose last event answers.
int Queue(const bench::Options& opt) {
  const long n = opt.Number("n", 10000), burst = opt.Number("burst", 1);
  const long rounds = std::max(1L, n / burst);
  LockedQueue owner, worker;
  struct Answer : Event {
    LockedQueue* q;
    explicit Answer(LockedQueue* queue) : q(queue) {}
    void Fire() override { q->Stop(); }
  };
  struct Work : Event {
    LockedQueue *owner, *worker;
    long* count;
    bool last, answer;
    Work(LockedQueue* o, LockedQueue* w, long* c, bool l, bool a) : owner(o), worker(w), count(c), last(l), answer(a) {}
    void Fire() override {
      ++*count;
      if (answer) worker->Post(new Answer(worker));
      if (last) owner->Stop();
    }
  };
  long fired = 0;
  const Clock::time_point start = Clock::now();
  std::thread poster([&] {
    for (long r = 0; r < rounds; ++r) {
      for (long i = 0; i < burst; ++i) {
        const bool end = i == burst - 1;
        owner.Post(new Work(&owner, &worker, &fired, end && r == rounds - 1, end && r != rounds - 1));
      }
      if (r != rounds - 1) worker.Run();
    }
  });
  owner.Run();
  const double seconds = bench::SecondsSince(start);
  poster.join();
  if (fired != rounds * burst) return bench::Fail("queue: events lost");
  bench::Report report;
  report.Add("ns_per_event", seconds * 1e9 / fired);
  report.Print();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return bench::Fail("usage: qmxbench-plain CASE [--name value]...");
  const std::string name = argv[1];
  const bench::Options opt(argc, argv);
  curl_global_init(CURL_GLOBAL_DEFAULT);
  int rc = 2;
  if (name == "join-new")
    rc = Join(opt, false);
  else if (name == "join-reuse")
    rc = Join(opt, true);
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
  curl_global_cleanup();
  return rc;
}
