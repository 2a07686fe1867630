// CRtString: the framework's 8-bit byte string, the text type of every
// interface. It is a standard byte string.
#ifndef QMX_RTSTRING_H
#define QMX_RTSTRING_H

#include <string>

typedef std::string CRtString;

#endif
