// The soak: joins and invitations in turn through the module against the
// site simulator on 127.0.0.1, each waiting for the previous reply. After
// every round the heap in use, the module's live objects and the open
// descriptors are taken; from the second round on none may grow (the heap
// by a small allowance). Kept-alive connections make a single before/after
// count noisy, hence the rounds.
//   reliability_soak [--requests N] [--round R]
#include <malloc.h>
#include <string.h>

#include <memory>

#include "RelHost.h"
#include "SiteSimulator.h"

extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace {

long g_requests = 10000, g_round = 1000;

using Soak = reltest::RelHost;

TEST_F(Soak, HeapObjectsAndDescriptorsStaySteady) {
  ASSERT_GE(g_requests / g_round, 3) << "needs at least three rounds";
  // The simulator records every invitation: in a child, that is not this
  // process's heap.
  int port = 0;
  pid_t server = -1;
  reltest::InChild<int>(
      port,
      [](int& p) {
        auto* sim = new sitesim::CSiteSimulator();  // lives until the child is killed
        p = sim->Start() ? sim->Port() : 0;
      },
      true, server);
  const std::shared_ptr<void> reap(nullptr, [server](void*) {
    if (server > 0 && kill(server, SIGKILL) == 0) waitpid(server, nullptr, 0);
  });
  ASSERT_NE(0, port);
  const std::string site = "http://127.0.0.1:" + std::to_string(port) + "/site1/";
  // The record of replies grows by design: the host's file, not the module's
  // memory, so it goes before each count.
  const char* recordDir = getenv("QMX_RECORD_DIR");
  const std::string record = std::string(recordDir ? recordDir : ".") + "/waresponse.rrr";
  std::vector<size_t> heap;
  Rounds(static_cast<int>(g_requests / g_round), [&](int) {
    for (long i = 0; i < g_round && !HasFailure(); ++i) {
      ASSERT_EQ(0, i % 2 ? Invite(site) : Join(site + "join.do?confKey=123456&lang=en").result) << "request " << i;
      m_sink.outcomes.clear();  // the host keeps nothing of the replies
    }
    QmxThreadRunPending();
    unlink(record.c_str());
    heap.push_back(__sanitizer_get_current_allocated_bytes ? __sanitizer_get_current_allocated_bytes()
                                                           : mallinfo2().uordblks);
    printf("%8zu heap bytes, %zu module objects, %zu descriptors\n", heap.back(), relalloc::LiveObjects(),
           reltest::OpenDescriptors());
  });
  for (size_t i = 2; i < heap.size(); ++i) EXPECT_LE(heap[i], heap[1] + 32 * 1024) << "the heap grows in round " << i;
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--requests")) g_requests = atol(argv[i + 1]);
    if (!strcmp(argv[i], "--round")) g_round = atol(argv[i + 1]);
  }
  return RUN_ALL_TESTS();
}
