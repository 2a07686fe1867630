// The result codes of the conference module (IConfWeba's returns and sink
// results), its HTTP client and the confweba host, as named constants. The
// numbers, their meaning and texts are in ConfWebaResultList.h.
#ifndef QMX_CONFWEBA_RESULTS_H
#define QMX_CONFWEBA_RESULTS_H

enum QmxResult {
#define QMX_RESULT(name, value, clientText, hostText) QMX_##name = value,
#include "ConfWebaResultList.h"
#undef QMX_RESULT
};

#endif
