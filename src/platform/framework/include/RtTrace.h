// Tracing. A line is built in a CRtTrace::CRtLogRecorder over the caller's
// buffer (1024 bytes on the stack at every call site) and written with
// CRtTrace::instance()->trace_string(level, text).
//
// Levels: 0 error, 10 warning, 20 information. Where lines go:
//   QMX_TRACE        unset or empty: nowhere (a sink installed by the host or a
//                    test still receives them); "stderr"; or a file path
//                    (appended to; created readable by the user only; a
//                    symbolic link at that name is refused, with a message on
//                    stderr, and the trace then goes nowhere).
//   QMX_TRACE_LEVEL  the highest level written: 0, 10 or 20 (default 20).
// Each written line carries the local time, the level and the kernel thread
// id: "2026-01-31 14:05:09.123 L20 T4711 <text>".
//
// Passwords never leave the trace: before a line reaches the output or the
// sink, the value of every "key=value" whose key ends in "pass" or
// "password" (any case: confPass=, aPassword=, m_proxyPassword=) is shown as
// "***". The value ends at '&', at a blank or line break, at the end of the
// line, or at a ',' that starts the next "label=" ("confPass=a,b,eMail=x"
// hides "a,b"); an empty value stays empty.
#ifndef QMX_RTTRACE_H
#define QMX_RTTRACE_H

#include <limits.h>
#include <stddef.h>

#include <atomic>

#include "RtDefines.h"
#include "RtString.h"

#define RT_TRACE_LEVEL_ERROR 0
#define RT_TRACE_LEVEL_WARNING 10
#define RT_TRACE_LEVEL_INFO 20

// A host's or a test's receiver of every trace line, with its level and the
// bare message text (no time or thread prefix). Called on the thread that
// traces; must not trace itself.
typedef void (*QmxTraceSinkFn)(int level, const char* text, void* user);

// Marks the " this=" + address tail of an object's line: rec << RtThis(this).
struct CRtThisTail {
  const void* ptr;
};
inline CRtThisTail RtThis(const void* p) { return CRtThisTail{p}; }

class QMX_FRAMEWORK_API CRtTrace {
 public:
  static CRtTrace* instance();

  // Whether a line of this level would reach an output or a sink; what the
  // trace macros test before formatting anything, so that a statement costs
  // a load and a branch while the trace goes nowhere. True until the trace
  // is first used (the first line then reads the configuration).
  static bool IsEnabled(int level) { return level <= s_activeLevel.load(std::memory_order_relaxed); }

  // Writes one line, its passwords hidden; thread-safe, never throws.
  void trace_string(int level, const char* text);

  // Installs a sink beside the configured output (null removes it), and the
  // highest level passed to it and to the output. Once SetSink returns, the
  // previous sink is no longer being called on any thread.
  static void SetSink(QmxTraceSinkFn fn, void* user);
  static void GetSink(QmxTraceSinkFn* fn, void** user);
  static void SetLevel(int maxLevel);
  static int GetLevel();
  // Replaces the output chosen by QMX_TRACE: null or "" for none, "stderr",
  // "stdout" or a file path (appended to, as for QMX_TRACE). Returns 0, or
  // RT_ERROR_FAILURE when the file cannot be opened or is a symbolic link
  // (the output is then none).
  static int SetOutput(const char* where);

  // Formats into a caller's buffer, cutting silently at its size (the text
  // always stays NUL-terminated).
  class QMX_FRAMEWORK_API CRtLogRecorder {
   public:
    CRtLogRecorder(char* buffer, size_t size);
    virtual ~CRtLogRecorder() {}
    CRtLogRecorder& operator<<(const char* s);
    CRtLogRecorder& operator<<(int v);
    CRtLogRecorder& operator<<(unsigned int v);
    CRtLogRecorder& operator<<(long v);
    CRtLogRecorder& operator<<(unsigned long v);
    CRtLogRecorder& operator<<(long long v);
    CRtLogRecorder& operator<<(unsigned long long v);
    CRtLogRecorder& operator<<(unsigned short v);
    CRtLogRecorder& operator<<(void* p);
    CRtLogRecorder& operator<<(const void* p);
    CRtLogRecorder& operator<<(const CRtString& s);
    CRtLogRecorder& operator<<(CRtThisTail t);  // " this=" and the address
    operator char*() { return m_buffer; }
    size_t size() const { return m_used; }

   private:
    void Append(const char* s, size_t n);
    char* m_buffer;
    size_t m_size;
    size_t m_used;
  };

 private:
  CRtTrace();
  // The highest level that goes somewhere: the configured level while there
  // is an output or a sink, INT_MIN while there is neither, INT_MAX before
  // the configuration is read.
  static std::atomic<int> s_activeLevel;
};

// Trace macros: RT_INFO_TRACE("text" << value); the _THIS forms append
// " this=" and `this`. The streamed values are evaluated only when the line
// goes somewhere.
#define RT_TRACE_LINE_(level, str)                                       \
  do {                                                                   \
    if (CRtTrace::IsEnabled(level)) {                                    \
      char rt_trace_buf_[1024];                                          \
      CRtTrace::CRtLogRecorder rt_trace_rec_(rt_trace_buf_, 1024);       \
      rt_trace_rec_ << str;                                              \
      CRtTrace::instance()->trace_string((level), (char*)rt_trace_rec_); \
    }                                                                    \
  } while (0)

#define RT_ERROR_TRACE(str) RT_TRACE_LINE_(RT_TRACE_LEVEL_ERROR, str)
#define RT_WARNING_TRACE(str) RT_TRACE_LINE_(RT_TRACE_LEVEL_WARNING, str)
#define RT_INFO_TRACE(str) RT_TRACE_LINE_(RT_TRACE_LEVEL_INFO, str)
#define RT_ERROR_TRACE_THIS(str) RT_ERROR_TRACE(str << RtThis(this))
#define RT_WARNING_TRACE_THIS(str) RT_WARNING_TRACE(str << RtThis(this))
#define RT_INFO_TRACE_THIS(str) RT_INFO_TRACE(str << RtThis(this))

// Assertions never stop the process: a failed one writes, at level 0,
// "<file>:<line> Assert failed: <expr>" and the caller takes its failure path.
QMX_FRAMEWORK_API void RtAssertFailed(const char* file, int line, const char* expr);
#define RT_ASSERTE(expr)                                    \
  do {                                                      \
    if (!(expr)) RtAssertFailed(__FILE__, __LINE__, #expr); \
  } while (0)
#define RT_ASSERTE_RETURN(expr, rv)              \
  do {                                           \
    if (!(expr)) {                               \
      RtAssertFailed(__FILE__, __LINE__, #expr); \
      return rv;                                 \
    }                                            \
  } while (0)
#define RT_ASSERTE_RETURN_VOID(expr)             \
  do {                                           \
    if (!(expr)) {                               \
      RtAssertFailed(__FILE__, __LINE__, #expr); \
      return;                                    \
    }                                            \
  } while (0)

#endif
