#include "QmxQtDriver.h"

#include <QSocketNotifier>
#include <QTimer>

#include "RtHost.h"

QmxQtDriver::QmxQtDriver(QObject* parent) : QObject(parent) {
  if (!QmxThreadAttach()) return;
  const int fd = QmxThreadPollFd();
  if (fd < 0) return;
  m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(m_notifier, &QSocketNotifier::activated, this, [this] { runPending(); });
  m_timer = new QTimer(this);
  m_timer->setSingleShot(true);
  connect(m_timer, &QTimer::timeout, this, [this] { runPending(); });
  rearm();
}

QmxQtDriver::~QmxQtDriver() {
  if (m_notifier) m_notifier->setEnabled(false);
}

int QmxQtDriver::runPending() {
  if (!m_notifier) return -1;
  const int n = QmxThreadRunPending();
  rearm();
  return n;
}

void QmxQtDriver::rearm() {
  // The descriptor wakes the loop for events and due timers; the timer makes
  // sure the next deadline is kept even where the descriptor is late.
  const int next = QmxThreadNextTimeoutMs();
  if (next < 0)
    m_timer->stop();
  else
    m_timer->start(next);
}
