// CRtTraceCapture: collects the trace lines written while it exists, for
// tests. It installs itself as the trace sink and sets the trace level (20 by
// default) and puts the previous sink and level back when destroyed. Lines
// from every thread are collected; reading them is thread-safe.
//
//   CRtTraceCapture trace;
//   ... code under test ...
//   EXPECT_TRUE(trace.Contains("CHttpClient::InitAsync", RT_TRACE_LEVEL_WARNING));
//
// Header-only so that test programs need nothing beyond qmxframework.
#ifndef QMX_RTTRACECAPTURE_H
#define QMX_RTTRACECAPTURE_H

#include <stddef.h>

#include <mutex>
#include <string>
#include <vector>

#include "RtTrace.h"

class CRtTraceCapture {
 public:
  struct Line {
    int level;
    std::string text;
  };

  explicit CRtTraceCapture(int maxLevel = RT_TRACE_LEVEL_INFO) {
    CRtTrace::GetSink(&m_prevSink, &m_prevUser);
    m_prevLevel = CRtTrace::GetLevel();
    CRtTrace::SetLevel(maxLevel);
    CRtTrace::SetSink(&CRtTraceCapture::Receive, this);
  }
  ~CRtTraceCapture() {
    CRtTrace::SetSink(m_prevSink, m_prevUser);
    CRtTrace::SetLevel(m_prevLevel);
  }

  std::vector<Line> Lines() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_lines;
  }
  // Lines containing `part`, at `level` only when level >= 0.
  size_t Count(const std::string& part, int level = -1) const {
    std::lock_guard<std::mutex> g(m_lock);
    size_t n = 0;
    for (const Line& l : m_lines)
      if ((level < 0 || l.level == level) && l.text.find(part) != std::string::npos) ++n;
    return n;
  }
  bool Contains(const std::string& part, int level = -1) const { return Count(part, level) > 0; }
  // Whether some line is exactly `text`.
  bool Has(const std::string& text, int level = -1) const {
    std::lock_guard<std::mutex> g(m_lock);
    for (const Line& l : m_lines)
      if ((level < 0 || l.level == level) && l.text == text) return true;
    return false;
  }
  void Clear() {
    std::lock_guard<std::mutex> g(m_lock);
    m_lines.clear();
  }

 private:
  CRtTraceCapture(const CRtTraceCapture&) = delete;
  CRtTraceCapture& operator=(const CRtTraceCapture&) = delete;

  static void Receive(int level, const char* text, void* user) {
    CRtTraceCapture* self = static_cast<CRtTraceCapture*>(user);
    try {
      std::lock_guard<std::mutex> g(self->m_lock);
      self->m_lines.push_back(Line{level, text});
    } catch (...) {
      // A line lost to a failed allocation; the trace must not throw.
    }
  }

  mutable std::mutex m_lock;
  std::vector<Line> m_lines;
  QmxTraceSinkFn m_prevSink = nullptr;
  void* m_prevUser = nullptr;
  int m_prevLevel = RT_TRACE_LEVEL_INFO;
};

#endif
