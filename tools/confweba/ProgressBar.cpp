#include "ProgressBar.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>

namespace confweba {

namespace {

int TerminalWidth(FILE* out) {
  struct winsize ws {};
  if (ioctl(fileno(out), TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20) return ws.ws_col;
  return 80;
}

// Redraws at most this often; the last count is always drawn.
const auto kRedraw = std::chrono::milliseconds(100);

}  // namespace

std::string FormatBytes(double bytes) {
  static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 4) {
    bytes /= 1024;
    ++unit;
  }
  char buf[32];
  if (unit == 0)
    snprintf(buf, sizeof buf, "%.0f B", bytes);
  else
    snprintf(buf, sizeof buf, "%.1f %s", bytes, units[unit]);
  return buf;
}

std::string FormatDuration(double seconds) {
  if (!(seconds >= 0) || seconds > 99 * 3600.0) return "--:--";
  const long s = std::lround(seconds);
  char buf[32];
  if (s >= 3600)
    snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  else
    snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
  return buf;
}

std::string FormatProgress(uint64_t received, int64_t expected, double seconds, int width) {
  const double rate = seconds > 0 ? static_cast<double>(received) / seconds : 0;
  const std::string rateText = rate > 0 ? FormatBytes(rate) + "/s" : "--/s";
  if (expected < 1) {
    // Unknown length: what came so far and how fast.
    std::string line = FormatBytes(static_cast<double>(received)) + "  " + rateText;
    return line.substr(0, static_cast<size_t>(width > 0 ? width : 0));
  }
  const uint64_t total = static_cast<uint64_t>(expected);
  const uint64_t done = received < total ? received : total;
  const int percent = static_cast<int>(done * 100 / total);
  const double left = rate > 0 ? static_cast<double>(total - done) / rate : -1;
  char head[8];
  snprintf(head, sizeof head, "%3d%% ", percent);
  const std::string tail = " " + FormatBytes(static_cast<double>(done)) + " / " +
                           FormatBytes(static_cast<double>(total)) + "  " + rateText + "  " + FormatDuration(left) +
                           " left";
  const int barWidth = width - static_cast<int>(sizeof "100% " - 1) - static_cast<int>(tail.size()) - 2;
  std::string line = head;
  if (barWidth >= 10) {
    const int filled = static_cast<int>(static_cast<uint64_t>(barWidth) * done / total);
    line += "[" + std::string(static_cast<size_t>(filled), '=') +
            std::string(static_cast<size_t>(barWidth - filled), ' ') + "]";
  }
  line += tail;
  return line.substr(0, static_cast<size_t>(width > 0 ? width : 0));
}

bool CProgressBar::Wanted(bool quiet, bool json) { return !quiet && !json && isatty(STDERR_FILENO) == 1; }

CProgressBar::CProgressBar(FILE* out, bool enabled) : m_out(out), m_enabled(enabled) {
  m_start = m_lastDraw = std::chrono::steady_clock::now();
}

CProgressBar::~CProgressBar() { Stop(); }

void CProgressBar::Stop() {
  if (!m_drawn) return;
  Draw(m_last, m_expected);
  fputc('\n', m_out);
  fflush(m_out);
  m_drawn = false;
}

void CProgressBar::OnProgress(uint64_t received, int64_t expected) {
  if (!m_enabled) return;
  m_last = received;
  m_expected = expected;
  const auto now = std::chrono::steady_clock::now();
  const bool complete = expected > 0 && received >= static_cast<uint64_t>(expected);
  if (m_drawn && !complete && now - m_lastDraw < kRedraw) return;
  m_lastDraw = now;
  Draw(received, expected);
}

void CProgressBar::Draw(uint64_t received, int64_t expected) {
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
  const std::string line = FormatProgress(received, expected, seconds, TerminalWidth(m_out) - 1);
  fprintf(m_out, "\r%s\033[K", line.c_str());
  fflush(m_out);
  m_drawn = true;
}

}  // namespace confweba
