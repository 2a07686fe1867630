// Runs the conference module's event queue inside a Qt event loop.
//
// The driver watches the framework's pollable descriptor with a
// QSocketNotifier and the queue's next timer with a QTimer, and runs what is
// waiting on its thread: module replies and timers arrive from within
// QCoreApplication::exec like any other Qt event.
//
//   QCoreApplication app(argc, argv);
//   QmxQtDriver driver;                    // this thread gets its event queue
//   ... IConfWeba::Instance(), Initialize, JoinConference ...
//   app.exec();                            // the sink's replies come from here
//   QmxFrameworkShutdown();                // as without the adapter
//
// Make the driver on the thread that runs the Qt loop and calls the module,
// and destroy it before QmxThreadDetach.
#ifndef QMX_ADAPTERS_QMXQTDRIVER_H
#define QMX_ADAPTERS_QMXQTDRIVER_H

#include <QObject>

class QSocketNotifier;
class QTimer;

class __attribute__((visibility("default"))) QmxQtDriver : public QObject {
 public:
  // Attaches the calling thread's event queue (made when it has none).
  explicit QmxQtDriver(QObject* parent = nullptr);
  ~QmxQtDriver() override;

  // False when the thread's queue could not be made; the driver then does
  // nothing.
  bool isValid() const { return m_notifier != nullptr; }

  // Runs what is waiting now; the notifier and the timer call it.
  int runPending();

 private:
  QmxQtDriver(const QmxQtDriver&) = delete;
  QmxQtDriver& operator=(const QmxQtDriver&) = delete;
  void rearm();

  QSocketNotifier* m_notifier = nullptr;
  QTimer* m_timer = nullptr;
};

#endif
