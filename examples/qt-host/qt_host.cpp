// example_qt_host INVITATION_URL [CONF_PASSWORD]: joins the conference from
// inside a running QCoreApplication and prints the loader's address.
#include <stdio.h>

#include <QCoreApplication>
#include <QTimer>

#include "IConfWeba.h"
#include "QmxQtDriver.h"
#include "qmxframework.h"

struct Sink : IConfWebaSink {
  void OnInviteByEmails(int) override {}
  void OnJoinConference(int r, const CRtString& url, const CRtString&, const CRtString&) override {
    result = r;
    printf("result %d\nloader %s\n", r, url.c_str());
    QCoreApplication::quit();
  }
  int result = -1;
};

int main(int argc, char** argv) {
  if (argc < 2) return fprintf(stderr, "usage: %s INVITATION_URL [CONF_PASSWORD]\n", argv[0]), 2;
  QCoreApplication app(argc, argv);
  Sink sink;
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
    app.exec();
    code = sink.result == 0 ? 0 : 1;
    QmxFrameworkShutdown();
  }
  QmxThreadDetach();
  return code;
}
