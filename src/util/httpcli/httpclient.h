// Everything the module's upper layers use of the HTTP client.
#ifndef QMX_HTTPCLI_HTTPCLIENT_ALL_H
#define QMX_HTTPCLI_HTTPCLIENT_ALL_H

#include "HttpClient.h"
#include "ConfWebaResults.h"
#include "RequestItem.h"
#include "ResponseRecord.h"
#include "RtHttpProxyInfo.h"
#include "SiteClient.h"

#endif
