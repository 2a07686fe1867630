// A GLib main loop ticking every 10 ms keeps ticking while a 200 MB download
// runs through the asynchronous download: the module hands the loop back
// between the pieces of the body. The one timing assertion of the suite;
// registered only for builds without sanitizers.
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include <gtest/gtest.h>

#include "QmxGlibSource.h"
#include "qmxconfweba_ext.h"
#include "qmxframework.h"
#include "qmxloopback/LoopbackServer.h"

namespace {

using Clock = std::chrono::steady_clock;
const long long kSize = 200LL << 20;

struct GapRun {
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  Clock::time_point lastTick{};
  Clock::duration largestGap{};
  long long lastReceived = 0;
  int result = -1;
};

gboolean Tick(gpointer p) {
  auto* r = static_cast<GapRun*>(p);
  const Clock::time_point now = Clock::now();
  if (r->lastTick != Clock::time_point{}) r->largestGap = std::max(r->largestGap, now - r->lastTick);
  return r->lastTick = now, G_SOURCE_CONTINUE;
}
gboolean Quit(gpointer p) { return g_main_loop_quit(static_cast<GapRun*>(p)->loop), G_SOURCE_REMOVE; }

TEST(LoopGapTest, TickingLoopStaysResponsiveDuringALargeDownload) {
  qmxloopback::LoopbackServer server;
  ASSERT_TRUE(server.Start());
  server.SetHandler([](const qmxloopback::ReceivedRequest&) {
    qmxloopback::Reply r;  // 200 MB made on the fly, never held in memory
    r.endlessBody = true, r.contentLength = kSize, r.keepAlive = false;
    return r;
  });
  char tmpl[] = "/tmp/confweba-gap-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(tmpl));
  GapRun run;
  const guint sources[] = {qmx_glib_attach(nullptr), g_timeout_add(10, Tick, &run),
                           g_timeout_add_seconds(120, Quit, &run)};  // the last ends a hang
  QmxDownloadSink sink = {
      &run, [](void* p, unsigned, long long received, long long) { static_cast<GapRun*>(p)->lastReceived = received; },
      [](void* p, unsigned, int result, const char*) { static_cast<GapRun*>(p)->result = result, Quit(p); }};
  ASSERT_NE(0u, QmxConfWebaStartDownload(server.Url("/big.bin").c_str(), tmpl, nullptr, &sink));
  g_main_loop_run(run.loop);
  for (guint id : sources) g_source_remove(id);
  QmxFrameworkShutdown();
  QmxThreadDetach();
  g_main_loop_unref(run.loop);
  server.Stop();

  EXPECT_EQ(0, run.result);
  EXPECT_EQ(kSize, run.lastReceived);
  std::error_code ec;
  EXPECT_EQ(static_cast<uintmax_t>(kSize), std::filesystem::file_size(std::string(tmpl) + "/big.bin", ec));
  std::filesystem::remove_all(tmpl, ec);
  const auto gapMs = std::chrono::duration_cast<std::chrono::milliseconds>(run.largestGap).count();
  EXPECT_LT(gapMs, 100) << "the loop stood still for " << gapMs << " ms";
}

}  // namespace
