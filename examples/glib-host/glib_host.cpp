// example_glib_host INVITATION_URL [CONF_PASSWORD [DIR]]: joins the
// conference from inside a running GMainLoop and prints the loader's address;
// with DIR it then downloads the loader there, drawing a text progress bar
// while the loop keeps ticking (the spinner moves every 100 ms).
#include <stdio.h>

#include "IConfWeba.h"
#include "QmxGlibSource.h"
#include "qmxconfweba_ext.h"
#include "qmxframework.h"

static const char kSpinner[] = "|/-\\";
static unsigned g_ticks = 0;

static void DrawProgress(void*, unsigned, long long received, long long total) {
  const int width = 30;
  const int filled = total > 0 ? static_cast<int>(received * width / total) : 0;
  fprintf(stderr, "\r%c [%-*.*s] %lld / %lld bytes", kSpinner[g_ticks % 4], width, filled,
          "==============================", received, total);
}

struct Sink : IConfWebaSink {
  void OnInviteByEmails(int) override {}
  void OnJoinConference(int r, const CRtString& url, const CRtString&, const CRtString&) override {
    result = r;
    printf("result %d\nloader %s\n", r, url.c_str());
    fflush(stdout);
    if (r != 0 || !dir) return g_main_loop_quit(loop);
    // The loader comes down without blocking the loop.
    const QmxDownloadSink download = {this, &DrawProgress, [](void* p, unsigned, int rt, const char* path) {
                                        auto* self = static_cast<Sink*>(p);
                                        fprintf(stderr, "\n");
                                        printf("download %d %s\n", rt, path ? path : "");
                                        self->result = rt;
                                        g_main_loop_quit(self->loop);
                                      }};
    if (QmxConfWebaStartDownload(url.c_str(), dir, nullptr, &download) == 0) {
      result = -1;
      g_main_loop_quit(loop);
    }
  }
  GMainLoop* loop = nullptr;
  const char* dir = nullptr;
  int result = -1;
};

struct Join {
  IConfWeba* weba;
  const char* url;
  const char* password;
  Sink* sink;
};

int main(int argc, char** argv) {
  if (argc < 2) return fprintf(stderr, "usage: %s INVITATION_URL [CONF_PASSWORD [DIR]]\n", argv[0]), 2;
  Sink sink;
  sink.loop = g_main_loop_new(nullptr, FALSE);
  sink.dir = argc > 3 ? argv[3] : nullptr;
  g_timeout_add(
      100,
      [](gpointer) -> gboolean {
        ++g_ticks;  // the loop is alive
        return G_SOURCE_CONTINUE;
      },
      nullptr);
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
