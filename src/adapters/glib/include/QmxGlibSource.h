/* Runs the conference module's event queue inside a GLib main loop.
 *
 * The source watches the framework's pollable descriptor and wakes for the
 * queue's next timer, and runs what is waiting on the thread that iterates
 * its GMainContext: module replies and timers then arrive from within
 * g_main_loop_run like any other GLib event.
 *
 *   guint id = qmx_glib_attach(NULL);      // the default context, this thread
 *   ... IConfWeba::Instance(), Initialize, JoinConference ...
 *   g_main_loop_run(loop);                 // the sink's replies come from here
 *   g_source_remove(id);
 *   QmxFrameworkShutdown();                // as without the adapter
 *   QmxThreadDetach();
 *
 * Make the source on the thread that will iterate the context and call the
 * module; that thread gets its event queue then (QmxThreadAttach). Remove
 * the source before QmxThreadDetach. */
#ifndef QMX_ADAPTERS_QMXGLIBSOURCE_H
#define QMX_ADAPTERS_QMXGLIBSOURCE_H

#include <glib.h>

#define QMX_GLIB_API __attribute__((visibility("default")))

G_BEGIN_DECLS

/* A new source for the calling thread's event queue (made when the thread
 * has none), not yet attached; NULL when the queue cannot be made. */
QMX_GLIB_API GSource* qmx_glib_source_new(void);

/* Makes the source and attaches it to context (NULL: the default context).
 * Returns its id for g_source_remove, or 0 when the queue cannot be made. */
QMX_GLIB_API guint qmx_glib_attach(GMainContext* context);

G_END_DECLS

#endif
