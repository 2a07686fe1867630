#include "QmxGlibSource.h"

#include "RtHost.h"

namespace {

struct QmxSource {
  GSource base;
  gpointer tag;  // the descriptor's entry in the source
};

gboolean Prepare(GSource*, gint* timeout) {
  // -1: no timer; GLib then waits for the descriptor alone.
  const int next = QmxThreadNextTimeoutMs();
  *timeout = next;
  return next == 0;
}

gboolean Check(GSource* source) {
  auto* s = reinterpret_cast<QmxSource*>(source);
  if (g_source_query_unix_fd(source, s->tag) & G_IO_IN) return TRUE;
  return QmxThreadNextTimeoutMs() == 0;
}

gboolean Dispatch(GSource*, GSourceFunc, gpointer) {
  QmxThreadRunPending();
  return G_SOURCE_CONTINUE;
}

GSourceFuncs g_funcs = {Prepare, Check, Dispatch, nullptr, nullptr, nullptr};

}  // namespace

extern "C" GSource* qmx_glib_source_new(void) {
  if (!QmxThreadAttach()) return nullptr;
  const int fd = QmxThreadPollFd();
  if (fd < 0) return nullptr;
  GSource* source = g_source_new(&g_funcs, sizeof(QmxSource));
  g_source_set_name(source, "qmxconfweba event queue");
  reinterpret_cast<QmxSource*>(source)->tag = g_source_add_unix_fd(source, fd, G_IO_IN);
  return source;
}

extern "C" guint qmx_glib_attach(GMainContext* context) {
  GSource* source = qmx_glib_source_new();
  if (!source) return 0;
  const guint id = g_source_attach(source, context);
  g_source_unref(source);
  return id;
}
