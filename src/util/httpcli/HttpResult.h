// Result codes of the HTTP client, its sites and the transport. 0 is success;
// every other value is a failure unless its comment says otherwise. The texts
// that CHttpClient::GetErrorText gives live beside the codes, so they cannot
// drift apart. Codes without a text of their own read "unexpected error!".
#ifndef QMX_HTTPCLI_HTTPRESULT_H
#define QMX_HTTPCLI_HTTPRESULT_H

// X(name, value, text or nullptr)
#define QMX_HTTP_RESULTS(X)                                                   \
  X(HTTP_OK, 0, nullptr)                      /* success */                   \
  X(HTTP_ERR_INVALID_URL, 4001, "invalid url")                                \
  X(HTTP_ERR_INVALID_PROXY, 4002, "invalid proxy")                            \
  X(HTTP_ERR_CONNECT_URL, 4003, "connect url failed")                         \
  X(HTTP_ERR_TRANSPORT, 10001, nullptr)       /* retries spent, read failed */ \
  X(HTTP_ERR_BAD_OPTION, 10004, nullptr)      /* unknown site option */       \
  X(HTTP_ERR_NO_RESULT, 10005, nullptr)       /* completion without result */ \
  X(HTTP_ERR_REQUEST_FAILED, 10006, nullptr)  /* call failed, timed out */    \
  X(HTTP_ERR_OUT_OF_MEMORY, 10007, "out of memory")                           \
  X(HTTP_ERR_INVALID_ARG, 10008, "invalid argument")                          \
  X(HTTP_ERR_DISCONNECTED, 10009, nullptr)    /* transport disconnect */      \
  X(HTTP_ERR_NOT_FOUND, 10011, nullptr)       /* site not in the client */    \
  X(HTTP_READ_PENDING, 10013, nullptr)        /* not a failure: read waits */ \
  X(HTTP_ERR_WRONG_STATUS, 10015, "wrong status")

enum HttpResult {
#define QMX_HTTP_RESULT_ENUM_(name, value, text) name = value,
  QMX_HTTP_RESULTS(QMX_HTTP_RESULT_ENUM_)
#undef QMX_HTTP_RESULT_ENUM_
};

#endif
