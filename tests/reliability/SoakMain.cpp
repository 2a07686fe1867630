// The soak: joins and invitations through the module against the site
// simulator on 127.0.0.1, each waiting for the previous reply, with the
// heap in use, the module's live objects and the open descriptors taken
// after every round. Connections kept alive make a single before/after
// count noisy, so rounds are compared: from the second round on, nothing
// may grow beyond a small allowance for the heap.
//   reliability_soak [--requests N] [--round R] [--only join|invite]
// Exit status 0 when nothing grew, 1 when something did, 2 on a failed
// request.
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "RelHost.h"
#include "SiteSimulator.h"

extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));
extern "C" void __sanitizer_print_memory_profile(size_t top_percent, size_t max_contexts) __attribute__((weak));

namespace {

size_t HeapInUse() {
  if (__sanitizer_get_current_allocated_bytes) return __sanitizer_get_current_allocated_bytes();
  return mallinfo2().uordblks;
}

bool Wait(reltest::RecordingSink& sink, size_t n) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (sink.outcomes.size() < n) {
    if (std::chrono::steady_clock::now() > end) return false;
    QmxThreadRun(100);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long requests = 10000, round = 1000;
  std::string only;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!strcmp(argv[i], "--requests")) requests = atol(argv[i + 1]);
    if (!strcmp(argv[i], "--round")) round = atol(argv[i + 1]);
    if (!strcmp(argv[i], "--only")) only = argv[i + 1];
  }
  if (requests < 3 * round || round <= 0) {
    fprintf(stderr, "need at least three rounds\n");
    return 2;
  }
  // The simulator runs in a child process, so that what it keeps (it
  // records every invitation) does not count as this process's heap.
  int portPipe[2], stopPipe[2];
  if (pipe(portPipe) != 0 || pipe(stopPipe) != 0) return 2;
  fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) return 2;
  if (child == 0) {
    close(portPipe[0]);
    close(stopPipe[1]);
    sitesim::CSiteSimulator sim;
    std::string error;
    int port = sim.Start("127.0.0.1", 0, false, &error) ? sim.Port() : 0;
    if (!port) fprintf(stderr, "simulator: %s\n", error.c_str());
    if (write(portPipe[1], &port, sizeof port) != static_cast<ssize_t>(sizeof port) || !port) _exit(2);
    char c;
    while (read(stopPipe[0], &c, 1) > 0) {
    }
    sim.Stop();
    _exit(0);
  }
  close(portPipe[1]);
  close(stopPipe[0]);
  int port = 0;
  if (read(portPipe[0], &port, sizeof port) != static_cast<ssize_t>(sizeof port) || !port) return 2;
  close(portPipe[0]);
  const std::string siteUrl = "http://127.0.0.1:" + std::to_string(port) + "/site1/";
  const std::string invitation = siteUrl + "join.do?confKey=123456&lang=en";
  reltest::RecordingSink sink;
  sink.queue = QmxThreadAttach();
  IConfWeba* module = IConfWeba::Instance();
  if (!module || module->Initialize(&sink) != 0) return 2;
  // The record of replies grows by design with every request; it is the
  // host's file, not the module's memory, and is left out of the count.
  const char* recordDir = getenv("QMX_RECORD_DIR");
  const std::string record = std::string(recordDir ? recordDir : ".") + "/waresponse.rrr";

  struct Print {
    size_t heap, live, fds;
  };
  std::vector<Print> prints;
  printf("%8s %12s %6s %5s\n", "requests", "heap bytes", "live", "fds");
  for (long i = 0; i < requests; ++i) {
    int rt;
    const bool join = only.empty() ? i % 2 == 0 : only == "join";
    if (join)
      rt = module->JoinConference(invitation, "meet", "ann@example.com", "Ann Lee", "", "");
    else
      rt = module->InviteByEmails(siteUrl, "site1", "host", "secret", "123456", {"a@example.com"});
    if (rt != 0 || !Wait(sink, 1) || sink.outcomes.size() != 1 || sink.outcomes[0].result != 0) {
      fprintf(stderr, "request %ld failed: rt=%d outcomes=%zu result=%d\n", i, rt, sink.outcomes.size(),
              sink.outcomes.empty() ? -1 : sink.outcomes[0].result);
      return 2;
    }
    // The host keeps nothing of the replies: only the module's memory counts.
    sink.outcomes.clear();
    if ((i + 1) % round == 0) {
      QmxThreadRunPending();
      unlink(record.c_str());
      const Print p{HeapInUse(), relalloc::LiveObjects(), reltest::OpenDescriptors()};
      prints.push_back(p);
      printf("%8ld %12zu %6zu %5zu\n", i + 1, p.heap, p.live, p.fds);
      fflush(stdout);
    }
  }
  // Under AddressSanitizer, REL_SOAK_PROFILE=1 lists where the live heap was
  // allocated, to find what grew.
  if (getenv("REL_SOAK_PROFILE") && __sanitizer_print_memory_profile) __sanitizer_print_memory_profile(90, 12);
  QmxFrameworkShutdown();
  QmxThreadDetach();
  close(stopPipe[1]);
  int childStatus = 0;
  waitpid(child, &childStatus, 0);

  int status = 0;
  const Print& base = prints[1];
  for (size_t i = 2; i < prints.size(); ++i) {
    if (prints[i].live > base.live || prints[i].fds > base.fds || prints[i].heap > base.heap + 32 * 1024) {
      fprintf(stderr, "round %zu grew: heap %zu -> %zu, live %zu -> %zu, fds %zu -> %zu\n", i, base.heap,
              prints[i].heap, base.live, prints[i].live, base.fds, prints[i].fds);
      status = 1;
    }
  }
  printf("%s: %ld requests, heap %+ld bytes from round 2 to the last, module objects %zu, descriptors %zu\n",
         status ? "GREW" : "steady", requests, static_cast<long>(prints.back().heap) - static_cast<long>(base.heap),
         prints.back().live, prints.back().fds);
  return status;
}
