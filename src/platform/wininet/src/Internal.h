// All internal headers of the WinINet layer, for code outside the library
// that compiles one of its sources in (the proxy-list fuzzer).
#ifndef QMX_WININET_INTERNAL_H
#define QMX_WININET_INTERNAL_H

#include "Common.h"
#include "Handles.h"
#include "LayerIf.h"
#include "ProxyAuth.h"

#endif
