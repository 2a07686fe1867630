// Objects the framework destroys at its shutdown (QmxFrameworkShutdown).
#ifndef QMX_RTCLEANUP_H
#define QMX_RTCLEANUP_H

#include "RtDefines.h"

class QMX_FRAMEWORK_API CRtCleanUpBase {
 public:
  // Registers the object; the shutdown calls CleanUp on each registered
  // object, the last registered first. A CleanUp that does not delete its
  // object is still called only once.
  CRtCleanUpBase();
  virtual ~CRtCleanUpBase();  // unregisters
  virtual void CleanUp() { delete this; }

 private:
  CRtCleanUpBase(const CRtCleanUpBase&) = delete;
  CRtCleanUpBase& operator=(const CRtCleanUpBase&) = delete;
};

#endif
