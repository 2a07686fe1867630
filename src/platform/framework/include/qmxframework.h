// The qmxframework runtime library: trace, singleton mutex, per-thread event
// queues with timers, clean-up, strings and reference counts.
#ifndef QMX_QMXFRAMEWORK_H
#define QMX_QMXFRAMEWORK_H

#include "RtCleanUp.h"
#include "RtDefines.h"
#include "RtHost.h"
#include "RtReferenceControl.h"
#include "RtString.h"
#include "RtThreadManager.h"
#include "RtTimerWrapper.h"
#include "RtTrace.h"

#endif
