// example_qt_host INVITATION_URL [CONF_PASSWORD [DIR]]: joins the conference
// from inside a running QCoreApplication and prints the loader's address;
// with DIR it then downloads the loader there, drawing a text progress bar
// while a QTimer keeps ticking (the spinner moves every 100 ms).
#include <stdio.h>

#include <QCoreApplication>
#include <QTimer>

#include "IConfWeba.h"
#include "QmxQtDriver.h"
#include "qmxconfweba_ext.h"
#include "qmxframework.h"

static unsigned g_ticks = 0;

static void DrawProgress(void*, unsigned, long long received, long long total) {
  const int width = 30;
  const int filled = total > 0 ? static_cast<int>(received * width / total) : 0;
  fprintf(stderr, "\r%c [%-*.*s] %lld / %lld bytes", "|/-\\"[g_ticks % 4], width, filled,
          "==============================", received, total);
}

static void DownloadDone(void* p, unsigned, int rt, const char* path) {
  fprintf(stderr, "\n");
  printf("download %d %s\n", rt, path ? path : "");
  *static_cast<int*>(p) = rt;
  QCoreApplication::quit();
}

struct Sink : IConfWebaSink {
  void OnInviteByEmails(int) override {}
  void OnJoinConference(int r, const CRtString& url, const CRtString&, const CRtString&) override {
    result = r;
    printf("result %d\nloader %s\n", r, url.c_str());
    fflush(stdout);
    if (r != 0 || !dir) return QCoreApplication::quit();
    // The loader comes down without blocking the loop.
    const QmxDownloadSink download = {&result, &DrawProgress, &DownloadDone};
    if (QmxConfWebaStartDownload(url.c_str(), dir, nullptr, &download) == 0) {
      result = -1;
      QCoreApplication::quit();
    }
  }
  const char* dir = nullptr;
  int result = -1;
};

int main(int argc, char** argv) {
  if (argc < 2) return fprintf(stderr, "usage: %s INVITATION_URL [CONF_PASSWORD [DIR]]\n", argv[0]), 2;
  QCoreApplication app(argc, argv);
  Sink sink;
  sink.dir = argc > 3 ? argv[3] : nullptr;
  int code = 1;
  {
    QmxQtDriver driver;  // the module's queue joins this thread's Qt loop
    IConfWeba* weba = IConfWeba::Instance();
    weba->Initialize(&sink);
    const CRtString url = argv[1], password = argc > 2 ? argv[2] : "";
    QTimer::singleShot(0, [&] {  // the join starts once the loop runs
      if (weba->JoinConference(url, password, "", "Example Host", "", "") != 0) QCoreApplication::quit();
    });
    QTimer::singleShot(60000, [] { QCoreApplication::quit(); });  // give up after a minute
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [] { ++g_ticks; });  // the loop is alive
    tick.start(100);
    app.exec();
    code = sink.result == 0 ? 0 : 1;
    QmxFrameworkShutdown();
  }
  QmxThreadDetach();
  return code;
}
