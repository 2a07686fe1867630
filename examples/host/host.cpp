// example_host INVITATION_URL [CONF_PASSWORD]: joins the conference and
// prints the loader's address; the exit code is 0 when the join succeeded.
#include <stdio.h>

#include "IConfWeba.h"
#include "qmxframework.h"

struct Sink : IConfWebaSink {
  void OnInviteByEmails(int) override {}
  void OnJoinConference(int r, const CRtString& url, const CRtString&, const CRtString&) override {
    result = r;
    printf("result %d\nloader %s\n", r, url.c_str());
    QmxQueueStop(queue);
  }
  IRtEventQueue* queue = nullptr;
  int result = -1;
};

int main(int argc, char** argv) {
  if (argc < 2) return fprintf(stderr, "usage: %s INVITATION_URL [CONF_PASSWORD]\n", argv[0]), 2;
  Sink sink;
  sink.queue = QmxThreadAttach();  // this thread's event queue: replies arrive on it
  IConfWeba* weba = IConfWeba::Instance();
  weba->Initialize(&sink);
  if (weba->JoinConference(argv[1], argc > 2 ? argv[2] : "", "", "Example Host", "", "") == 0)
    QmxThreadRun(60000);   // until the sink stops the queue
  QmxFrameworkShutdown();  // destroys the module's object
  QmxThreadDetach();
  return sink.result == 0 ? 0 : 1;
}
