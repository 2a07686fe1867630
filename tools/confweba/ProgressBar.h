// The download progress line of confweba get and join --fetch-loader: bytes
// so far, percentage and bar when the length is known, rate and time left.
// Fed by the asynchronous download's progress reports, on the thread that
// runs the queue.
#ifndef QMX_CONFWEBA_CLI_PROGRESSBAR_H
#define QMX_CONFWEBA_CLI_PROGRESSBAR_H

#include <stdint.h>
#include <stdio.h>

#include <chrono>
#include <string>

namespace confweba {

// One line of progress, width columns at most. expected < 1: length unknown.
// seconds: time since the download started (for the rate and time left).
std::string FormatProgress(uint64_t received, int64_t expected, double seconds, int width);

// "12.3 MiB" style sizes, "-" style times ("1:05", "1:02:03").
std::string FormatBytes(double bytes);
std::string FormatDuration(double seconds);

// Draws FormatProgress on a terminal as progress reports come.
class CProgressBar {
 public:
  // Draws on out when enabled; disabled, it ignores every report.
  CProgressBar(FILE* out, bool enabled);
  ~CProgressBar();  // Stop()

  // Ends the line with the last count drawn, so that what is printed next
  // starts on a line of its own.
  void Stop();

  // Whether a progress bar should be drawn: stderr is a terminal (as it is
  // drawn there, stdout stays free for what the command prints), and
  // neither --quiet nor --json was given. Not a terminal: nothing, not even
  // a summary, since the success line already gives the size.
  static bool Wanted(bool quiet, bool json);

  // A progress report: bytes so far, the announced length (-1 unknown).
  void OnProgress(uint64_t received, int64_t expected);

 private:
  CProgressBar(const CProgressBar&) = delete;
  CProgressBar& operator=(const CProgressBar&) = delete;
  void Draw(uint64_t received, int64_t expected);

  FILE* m_out;
  bool m_enabled;
  bool m_drawn = false;
  uint64_t m_last = 0;
  int64_t m_expected = -1;
  std::chrono::steady_clock::time_point m_start;
  std::chrono::steady_clock::time_point m_lastDraw;
};

}  // namespace confweba

#endif
