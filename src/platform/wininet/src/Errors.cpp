// libcurl results as WinINet errors (worker thread).
#include <curl/curl.h>
#include <errno.h>

#include "Transfer.h"

namespace qmxinet {

DWORD MapCurlError(int code, void* easy, DWORD errorMask, bool aborted) {
  CURL* e = static_cast<CURL*>(easy);
  switch (static_cast<CURLcode>(code)) {
    case CURLE_OK:
      return 0;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    case CURLE_URL_MALFORMAT:
      return ERROR_INTERNET_INVALID_URL;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
      return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
      return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_PARTIAL_FILE:
    case CURLE_UPLOAD_FAILED:
    case CURLE_READ_ERROR:
    case CURLE_SEND_FAIL_REWIND:
      return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR: {
      long os = 0;
      if (e) curl_easy_getinfo(e, CURLINFO_OS_ERRNO, &os);
      return (os == ECONNRESET || os == EPIPE) ? ERROR_INTERNET_CONNECTION_RESET : ERROR_INTERNET_CONNECTION_ABORTED;
    }
    case CURLE_OUT_OF_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    case CURLE_OPERATION_TIMEDOUT:
      return ERROR_INTERNET_TIMEOUT;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
      return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    case CURLE_PEER_FAILED_VERIFICATION: {
      if (errorMask & INTERNET_ERROR_MASK_COMBINED_SEC_CERT) return ERROR_INTERNET_SEC_CERT_ERRORS;
      long vr = 0;
      if (e) curl_easy_getinfo(e, CURLINFO_SSL_VERIFYRESULT, &vr);
      switch (vr) {
        case 0:   // libcurl's own host name check ...
        case 1:   // ... as it reports it with OpenSSL 3
        case 62:  // X509_V_ERR_HOSTNAME_MISMATCH
          return ERROR_INTERNET_SEC_CERT_CN_INVALID;
        case 9:
        case 10:
          return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
        case 2:
        case 18:
        case 19:
        case 20:
        case 21:
        case 27:
          return ERROR_INTERNET_INVALID_CA;
        case 23:
          return ERROR_INTERNET_SEC_CERT_REVOKED;
        default:
          return ERROR_INTERNET_SEC_INVALID_CERT;
      }
    }
    case CURLE_SSL_ISSUER_ERROR:
      return ERROR_INTERNET_INVALID_CA;
    case CURLE_SSL_INVALIDCERTSTATUS:
      return ERROR_INTERNET_SEC_CERT_REV_FAILED;
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
      return ERROR_INTERNET_SEC_INVALID_CERT;
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CLIENTCERT:
      return ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED;
    case CURLE_BAD_CONTENT_ENCODING:
      return ERROR_INTERNET_DECODING_FAILED;
    case CURLE_TOO_MANY_REDIRECTS:
      return ERROR_HTTP_REDIRECT_FAILED;
    case CURLE_AUTH_ERROR:
      return ERROR_INTERNET_LOGIN_FAILURE;
    case CURLE_PROXY: {
      long pe = 0;
      if (e) curl_easy_getinfo(e, CURLINFO_PROXY_ERROR, &pe);
      switch (pe) {
        case CURLPX_RESOLVE_HOST:
          return ERROR_INTERNET_NAME_NOT_RESOLVED;
        case CURLPX_REQUEST_FAILED:
          return ERROR_INTERNET_CANNOT_CONNECT;
        default:
          return ERROR_INTERNET_CONNECTION_ABORTED;
      }
    }
    case CURLE_ABORTED_BY_CALLBACK:
      return aborted ? ERROR_INTERNET_OPERATION_CANCELLED : ERROR_INTERNET_INTERNAL_ERROR;
    default:
      return ERROR_INTERNET_INTERNAL_ERROR;
  }
}

}  // namespace qmxinet
