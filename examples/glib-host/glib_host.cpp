// example_glib_host INVITATION_URL [CONF_PASSWORD]: joins the conference from
// inside a running GMainLoop and prints the loader's address.
#include <stdio.h>

#include "IConfWeba.h"
#include "QmxGlibSource.h"
#include "qmxframework.h"

struct Sink : IConfWebaSink {
  void OnInviteByEmails(int) override {}
  void OnJoinConference(int r, const CRtString& url, const CRtString&, const CRtString&) override {
    result = r;
    printf("result %d\nloader %s\n", r, url.c_str());
    g_main_loop_quit(loop);
  }
  GMainLoop* loop = nullptr;
  int result = -1;
};

struct Join {
  IConfWeba* weba;
  const char* url;
  const char* password;
  Sink* sink;
};

int main(int argc, char** argv) {
  if (argc < 2) return fprintf(stderr, "usage: %s INVITATION_URL [CONF_PASSWORD]\n", argv[0]), 2;
  Sink sink;
  sink.loop = g_main_loop_new(nullptr, FALSE);
  guint source = qmx_glib_attach(nullptr);  // the module's queue joins the default context
  IConfWeba* weba = IConfWeba::Instance();
  weba->Initialize(&sink);

  // The join starts once the loop runs, as it would from a GUI's handler.
  Join join{weba, argv[1], argc > 2 ? argv[2] : "", &sink};
  g_idle_add(
      [](gpointer p) {
        auto* j = static_cast<Join*>(p);
        if (j->weba->JoinConference(j->url, j->password, "", "Example Host", "", "") != 0)
          g_main_loop_quit(j->sink->loop);
        return G_SOURCE_REMOVE;
      },
      &join);
  g_timeout_add_seconds(
      60,
      [](gpointer loop) {  // give up after a minute
        g_main_loop_quit(static_cast<GMainLoop*>(loop));
        return G_SOURCE_REMOVE;
      },
      sink.loop);
  g_main_loop_run(sink.loop);

  g_source_remove(source);
  QmxFrameworkShutdown();
  QmxThreadDetach();
  g_main_loop_unref(sink.loop);
  return sink.result == 0 ? 0 : 1;
}
