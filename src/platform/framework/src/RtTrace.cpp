// Trace lines: the recorder that formats them into a caller's buffer, and the
// writer that stamps them and hands them to the configured output and to the
// installed sink.
#include "RtTrace.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <new>

namespace {

// Where lines go. Every field is guarded by `lock`; the level is also kept in
// an atomic so that the common "level too high" case needs no lock.
struct TraceState {
  std::mutex lock;
  int outFd = -1;       // -1: no output
  bool ownsFd = false;  // a file we opened (stderr/stdout are not ours)
  QmxTraceSinkFn sink = nullptr;
  void* sinkUser = nullptr;
  std::atomic<int> maxLevel{RT_TRACE_LEVEL_INFO};
};

// Never destroyed, so that objects traced from static destructors or from
// thread exit still find it.
TraceState& State() {
  static TraceState* s = new TraceState;
  return *s;
}

// Set while this thread is inside trace_string: a sink that traces would
// otherwise deadlock on the state lock; such nested lines are dropped.
thread_local bool t_inTrace = false;

long ThreadId() {
  static thread_local long tid = static_cast<long>(syscall(SYS_gettid));
  return tid;
}

// Opens an output by its configuration text; -1 for none. *owns tells
// whether the caller must close it; *linkRefused, that the file named is a
// symbolic link.
int OpenOutput(const char* where, bool* owns, bool* failed, bool* linkRefused) {
  *owns = false;
  *failed = false;
  *linkRefused = false;
  if (where == nullptr || where[0] == '\0') return -1;
  if (strcmp(where, "stderr") == 0) return STDERR_FILENO;
  if (strcmp(where, "stdout") == 0) return STDOUT_FILENO;
  // The trace may carry what a user typed: the file is the user's alone, and
  // a symbolic link planted at its name is refused rather than followed.
  int fd = open(where, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *failed = true;
    *linkRefused = (errno == ELOOP);
    return -1;
  }
  *owns = true;
  return fd;
}

void ReplaceOutputLocked(TraceState& s, int fd, bool owns) {
  if (s.ownsFd && s.outFd >= 0) close(s.outFd);
  s.outFd = fd;
  s.ownsFd = owns;
}

// What CRtTrace::IsEnabled compares with: the level while a line has
// somewhere to go, else below every level.
int ActiveLevelLocked(const TraceState& s) { return (s.outFd >= 0 || s.sink != nullptr) ? s.maxLevel.load() : INT_MIN; }

// Nothing else can report it: the trace itself is what failed.
void ReportOpenFailure(bool linkRefused) {
  static const char kMsg[] = "qmxframework: cannot open the QMX_TRACE file; tracing to nowhere\n";
  static const char kLinkMsg[] =
      "qmxframework: the QMX_TRACE file is a symbolic link, not followed; tracing to nowhere\n";
  ssize_t ignored =
      linkRefused ? write(STDERR_FILENO, kLinkMsg, sizeof kLinkMsg - 1) : write(STDERR_FILENO, kMsg, sizeof kMsg - 1);
  (void)ignored;
}

// ---- secrets ----
// Every line passes here before any output or sink sees it: the value of a
// "key=value" whose key ends in "pass" or "password" (any case) becomes
// "***". A value ends at '&' (a URL query), at a line break, or at a ',' or
// blank that starts the next "label=" of a trace line, so "a,b c" in
// "confPass=a,b c,eMail=x" is hidden whole. An empty value stays empty.

inline char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

inline bool IsKeyChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
}

// Whether the key ending just before text[eq] (an '=') ends in "pass" or
// "password", case aside.
bool IsSecretKey(const char* text, size_t eq) {
  size_t start = eq;
  while (start > 0 && IsKeyChar(text[start - 1])) --start;
  const size_t keyLength = eq - start;
  auto endsWith = [&](const char* suffix, size_t n) {
    if (keyLength < n) return false;
    const char* k = text + eq - n;
    for (size_t i = 0; i < n; ++i)
      if (Lower(k[i]) != suffix[i]) return false;
    return true;
  };
  return endsWith("pass", 4) || endsWith("password", 8);
}

// Whether text + i (just past a ',') starts a "label=".
bool StartsLabel(const char* text) {
  size_t n = 0;
  while (IsKeyChar(text[n])) ++n;
  return n > 0 && text[n] == '=';
}

// Where the value starting at text[from] ends.
size_t ValueEnd(const char* text, size_t from) {
  size_t i = from;
  for (;; ++i) {
    char c = text[i];
    if (c == '\0' || c == '&' || c == '\n' || c == '\r') return i;
    // A blank ends the value only where the next label starts (" this=" of
    // an object's line): a password may hold blanks.
    if ((c == ',' || c == ' ' || c == '\t') && StartsLabel(text + i + 1)) return i;
  }
}

// Cheap first look: every secret key holds "ss" (any case); most lines do not.
bool MayHoldSecret(const char* text) {
  for (const char* p = text; *p != '\0'; ++p) {
    if ((p[0] | 0x20) == 's' && (p[1] | 0x20) == 's') return true;
  }
  return false;
}

// The first '=' at or after `from` that follows a secret key with a
// non-empty value; `length` when there is none.
size_t NextSecret(const char* text, size_t length, size_t from) {
  for (size_t i = from; i < length; ++i) {
    if (text[i] == '=' && IsSecretKey(text, i) && ValueEnd(text, i + 1) > i + 1) return i;
  }
  return length;
}

// The line as it may be shown: `text` itself when it holds no secret, else a
// masked copy in `stack` (or in `heap` for a long line). Null only when a
// long line's copy could not be allocated; the line is then dropped.
const char* MaskSecrets(const char* text, char* stack, size_t stackSize, std::unique_ptr<char[]>& heap) {
  if (!MayHoldSecret(text)) return text;
  const size_t length = strlen(text);
  size_t eq = NextSecret(text, length, 0);
  if (eq == length) return text;
  // A hidden value takes at least six bytes with its key ("pass=x") and
  // grows by at most two ("x" becomes "***").
  const size_t need = length + length / 3 + 4;
  char* out = stack;
  if (need > stackSize) {
    heap.reset(new (std::nothrow) char[need]);
    if (!heap) return nullptr;
    out = heap.get();
  }
  size_t used = 0;
  size_t from = 0;
  while (eq < length) {
    const size_t end = ValueEnd(text, eq + 1);
    memcpy(out + used, text + from, eq + 1 - from);
    used += eq + 1 - from;
    memcpy(out + used, "***", 3);
    used += 3;
    from = end;
    eq = NextSecret(text, length, end);
  }
  memcpy(out + used, text + from, length - from);
  used += length - from;
  out[used] = '\0';
  return out;
}

// Reads QMX_TRACE and QMX_TRACE_LEVEL once, when the trace is first used;
// returns the active level.
int ConfigureFromEnvironment() {
  TraceState& s = State();
  const char* level = getenv("QMX_TRACE_LEVEL");
  if (level != nullptr && level[0] != '\0') {
    char* end = nullptr;
    long v = strtol(level, &end, 10);
    if (end != level && *end == '\0') s.maxLevel.store(static_cast<int>(v));
  }
  const char* out = getenv("QMX_TRACE");
  bool owns = false;
  bool failed = false;
  bool linkRefused = false;
  int fd = OpenOutput(out, &owns, &failed, &linkRefused);
  if (failed) ReportOpenFailure(linkRefused);
  std::lock_guard<std::mutex> g(s.lock);
  ReplaceOutputLocked(s, fd, owns);
  return ActiveLevelLocked(s);
}

// "2026-01-31 14:05:09.123 L20 T4711 " into buf; returns its length.
size_t FormatPrefix(char* buf, size_t size, int level) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tmv;
  time_t secs = tv.tv_sec;
  localtime_r(&secs, &tmv);
  int n = snprintf(buf, size, "%04d-%02d-%02d %02d:%02d:%02d.%03d L%d T%ld ", tmv.tm_year + 1900, tmv.tm_mon + 1,
                   tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec, static_cast<int>(tv.tv_usec / 1000), level,
                   ThreadId());
  if (n < 0) return 0;
  return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

}  // namespace

std::atomic<int> CRtTrace::s_activeLevel{INT_MAX};

CRtTrace::CRtTrace() { s_activeLevel.store(ConfigureFromEnvironment()); }

CRtTrace* CRtTrace::instance() {
  static CRtTrace* t = new CRtTrace;
  return t;
}

void CRtTrace::trace_string(int level, const char* text) {
  TraceState& s = State();
  if (level > s.maxLevel.load(std::memory_order_relaxed)) return;
  if (t_inTrace) return;
  if (text == nullptr) text = "";
  char masked[2048];
  std::unique_ptr<char[]> longMasked;
  text = MaskSecrets(text, masked, sizeof masked, longMasked);
  if (text == nullptr) return;
  t_inTrace = true;
  {
    std::lock_guard<std::mutex> g(s.lock);
    if (s.outFd >= 0) {
      char prefix[96];
      size_t plen = FormatPrefix(prefix, sizeof prefix, level);
      struct iovec iov[3];
      iov[0].iov_base = prefix;
      iov[0].iov_len = plen;
      iov[1].iov_base = const_cast<char*>(text);
      iov[1].iov_len = strlen(text);
      iov[2].iov_base = const_cast<char*>("\n");
      iov[2].iov_len = 1;
      // One writev per line keeps lines whole in a file shared with other
      // processes (O_APPEND); a failed write is dropped.
      ssize_t ignored = writev(s.outFd, iov, 3);
      (void)ignored;
    }
    if (s.sink != nullptr) s.sink(level, text, s.sinkUser);
  }
  t_inTrace = false;
}

void CRtTrace::SetSink(QmxTraceSinkFn fn, void* user) {
  instance();
  TraceState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  s.sink = fn;
  s.sinkUser = fn != nullptr ? user : nullptr;
  s_activeLevel.store(ActiveLevelLocked(s));
}

void CRtTrace::GetSink(QmxTraceSinkFn* fn, void** user) {
  instance();
  TraceState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  if (fn != nullptr) *fn = s.sink;
  if (user != nullptr) *user = s.sinkUser;
}

void CRtTrace::SetLevel(int maxLevel) {
  instance();
  TraceState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  s.maxLevel.store(maxLevel);
  s_activeLevel.store(ActiveLevelLocked(s));
}

int CRtTrace::GetLevel() {
  instance();
  return State().maxLevel.load();
}

int CRtTrace::SetOutput(const char* where) {
  instance();
  bool owns = false;
  bool failed = false;
  bool linkRefused = false;
  int fd = OpenOutput(where, &owns, &failed, &linkRefused);
  if (linkRefused) ReportOpenFailure(true);
  TraceState& s = State();
  std::lock_guard<std::mutex> g(s.lock);
  ReplaceOutputLocked(s, fd, owns);
  s_activeLevel.store(ActiveLevelLocked(s));
  return failed ? RT_ERROR_FAILURE : RT_OK;
}

// ---- CRtLogRecorder ----

CRtTrace::CRtLogRecorder::CRtLogRecorder(char* buffer, size_t size)
    : m_buffer(buffer), m_size(buffer != nullptr ? size : 0), m_used(0) {
  if (m_size > 0) m_buffer[0] = '\0';
}

void CRtTrace::CRtLogRecorder::Append(const char* s, size_t n) {
  if (m_size == 0) return;
  size_t room = m_size - 1 - m_used;
  if (n > room) n = room;
  memcpy(m_buffer + m_used, s, n);
  m_used += n;
  m_buffer[m_used] = '\0';
}

CRtTrace::CRtLogRecorder& CRtTrace::CRtLogRecorder::operator<<(const char* s) {
  if (s == nullptr) s = "(null)";
  Append(s, strlen(s));
  return *this;
}

CRtTrace::CRtLogRecorder& CRtTrace::CRtLogRecorder::operator<<(int v) { return *this << static_cast<long long>(v); }

CRtTrace::CRtLogRecorder& CRtTrace::CRtLogRecorder::operator<<(unsigned int v) {
  return *this << static_cast<unsigned long long>(v);
}

CRtTrace::CRtLogRecorder& CRtTrace::CRtLogRecorder::operator<<(long v) { return *this << static_cast<long long>(v); }

CRtTrace::CRtLogRecorder& CRtTrace::CRtLogRecorder::operator<<(unsigned long v) {
  return *this << static_cast<unsigned long long>(v);
}

CRtTrace::CRtLogRecorder& CRtTrace::CRtLogRecorder::operator<<(long long v) {
  char tmp[24];
  int n = snprintf(tmp, sizeof tmp, "%lld", v);
  Append(tmp, static_cast<size_t>(n));
  return *this;
}

CRtTrace::CRtLogRecorder& CRtTrace::CRtLogRecorder::operator<<(unsigned long long v) {
  char tmp[24];
  int n = snprintf(tmp, sizeof tmp, "%llu", v);
  Append(tmp, static_cast<size_t>(n));
  return *this;
}

CRtTrace::CRtLogRecorder& CRtTrace::CRtLogRecorder::operator<<(unsigned short v) {
  return *this << static_cast<unsigned long long>(v);
}

CRtTrace::CRtLogRecorder& CRtTrace::CRtLogRecorder::operator<<(void* p) { return *this << static_cast<const void*>(p); }

CRtTrace::CRtLogRecorder& CRtTrace::CRtLogRecorder::operator<<(const void* p) {
  char tmp[24];
  int n = snprintf(tmp, sizeof tmp, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(p));
  Append(tmp, static_cast<size_t>(n));
  return *this;
}

CRtTrace::CRtLogRecorder& CRtTrace::CRtLogRecorder::operator<<(const CRtString& s) {
  Append(s.data(), s.size());
  return *this;
}

CRtTrace::CRtLogRecorder& CRtTrace::CRtLogRecorder::operator<<(CRtThisTail t) {
  Append(" this=", 6);
  return *this << t.ptr;
}

// ---- assertions ----

void RtAssertFailed(const char* file, int line, const char* expr) {
  char buf[1024];
  CRtTrace::CRtLogRecorder rec(buf, sizeof buf);
  rec << file << ":" << line << " Assert failed: " << expr;
  CRtTrace::instance()->trace_string(RT_TRACE_LEVEL_ERROR, buf);
}
