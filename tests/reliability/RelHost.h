// What the reliability suites add to the module's host: each round of a case
// is followed by a count of the module's live objects and the process's open
// descriptors, and a case can run part of itself in a child process.
#ifndef QMX_TESTS_RELIABILITY_RELHOST_H
#define QMX_TESTS_RELIABILITY_RELHOST_H

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "ModuleAllocs.h"
#include "ModuleHost.h"

namespace reltest {

// The open descriptors; with names, what each one is, for a failure message.
inline size_t OpenDescriptors(std::string* names = nullptr) {
  size_t n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (const dirent* e = readdir(d)) {
      ++n;
      char target[256] = "";
      const std::string link = std::string("/proc/self/fd/") + e->d_name;
      if (names && readlink(link.c_str(), target, sizeof target - 1) > 0)
        *names += std::string(e->d_name) + "=" + target + " ";
    }
    closedir(d);
  }
  return n;
}

// Runs child() in a forked process and hands its T back through a pipe;
// the child then exits, or with linger stays until it is killed. False when
// the report did not come (pid is the child's, for the caller to reap).
template <class T>
bool InChild(T& out, const std::function<void(T&)>& child, bool linger, pid_t& pid) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  fflush(nullptr);
  if ((pid = fork()) == 0) {
    T r{};
    child(r);
    const bool sent = write(fds[1], &r, sizeof r) == static_cast<ssize_t>(sizeof r);
    while (sent && linger) pause();
    _exit(sent ? 0 : 1);
  }
  close(fds[1]);
  const bool got = pid > 0 && read(fds[0], &out, sizeof out) == static_cast<ssize_t>(sizeof out);
  close(fds[0]);
  return got;
}

// The module's host, for suites that watch the module's own allocations.
class RelHost : public ModuleHost {
 protected:
  void SetUp() override {
    ASSERT_TRUE(relalloc::ModuleFound());
    ModuleHost::SetUp();
  }

  // Runs round() n times and checks that neither the module's live objects
  // nor the open descriptors grow from the second round on (the first one
  // warms up connections and the site). A connection still closing on the
  // transport's thread shows for a moment, a leaked one never goes: from the
  // third round on the counts get until the generous deadline to come back
  // (a loaded machine under a sanitizer takes seconds to end a connection).
  void Rounds(int n, const std::function<void(int)>& round) {
    std::vector<std::pair<size_t, size_t>> prints;  // live objects, descriptors
    std::string names[2];                           // the descriptors after round 1, and now
    for (int i = 0; i < n && !HasFatalFailure(); ++i) {
      round(i);
      QmxThreadRunPending();
      auto now = std::make_pair(relalloc::LiveObjects(), OpenDescriptors(i == 1 ? &names[0] : nullptr));
      if (i >= 2 && !RunUntil([&] {
            now = {relalloc::LiveObjects(), OpenDescriptors()};
            return now.first <= prints[1].first && now.second <= prints[1].second;
          }))
        OpenDescriptors(&names[1]);
      prints.push_back(now);
    }
    for (size_t i = 2; i < prints.size(); ++i) {
      EXPECT_LE(prints[i].first, prints[1].first) << "module objects grow in round " << i;
      EXPECT_LE(prints[i].second, prints[1].second)
          << "descriptors grow in round " << i << "\nafter round 1: " << names[0] << "\nnow: " << names[1];
    }
  }
};

}  // namespace reltest

#endif
