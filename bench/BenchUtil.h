// Small pieces both benchmark programs share: options, the clock, memory
// figures and the one-line result both print for bench/run.
#ifndef QMX_BENCH_BENCHUTIL_H
#define QMX_BENCH_BENCHUTIL_H

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// "--name value" pairs after the case name.
class Options {
 public:
  Options(int argc, char** argv) {
    for (int i = 2; i + 1 < argc; i += 2) {
      if (strncmp(argv[i], "--", 2) == 0) m_values[argv[i] + 2] = argv[i + 1];
    }
  }
  std::string Text(const char* name, const char* fallback = "") const {
    auto it = m_values.find(name);
    return it == m_values.end() ? fallback : it->second;
  }
  long Number(const char* name, long fallback) const {
    auto it = m_values.find(name);
    return it == m_values.end() ? fallback : strtol(it->second.c_str(), nullptr, 10);
  }

 private:
  std::map<std::string, std::string> m_values;
};

// Resident and peak resident set of this process, in KiB.
inline long StatusKiB(const char* field) {
  FILE* f = fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long value = -1;
  const size_t n = strlen(field);
  while (fgets(line, sizeof(line), f)) {
    if (strncmp(line, field, n) == 0 && line[n] == ':') {
      value = strtol(line + n + 1, nullptr, 10);
      break;
    }
  }
  fclose(f);
  return value;
}
inline long RssKiB() { return StatusKiB("VmRSS"); }
inline long PeakRssKiB() {
  struct rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// Collects named figures and prints them as one JSON object line.
class Report {
 public:
  void Add(const char* name, double value) { m_items.emplace_back(name, value); }
  void Print() const {
    printf("{");
    for (size_t i = 0; i < m_items.size(); ++i) {
      printf("%s\"%s\": %.6g", i ? ", " : "", m_items[i].first.c_str(), m_items[i].second);
    }
    printf("}\n");
    fflush(stdout);
  }

 private:
  std::vector<std::pair<std::string, double>> m_items;
};

inline int Fail(const char* what) {
  fprintf(stderr, "bench: %s\n", what);
  return 1;
}

// The query a join sends, with the same attendee data on both sides.
inline std::string JoinQuery() {
  return "external/xml/XmlApiInvoker?method=JoinMeeting&site=site1&confId=123456&confPass=meet"
         "&email=ann%40example%2Eorg&attendeeName=Ann+Example&user=&pass=&osName=vista64";
}

}  // namespace bench

#endif
