// Entry points of the WinINet layer. Placeholder until the engine lands:
// every call fails cleanly with ERROR_NOT_SUPPORTED.
#include "qmxwininet_ext.h"
#include "wininet.h"

extern "C" {

HINTERNET WINAPI InternetOpenA(LPCSTR, DWORD, LPCSTR, LPCSTR, DWORD) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return nullptr;
}
HINTERNET WINAPI InternetConnectA(HINTERNET, LPCSTR, INTERNET_PORT, LPCSTR, LPCSTR, DWORD, DWORD, DWORD_PTR) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return nullptr;
}
HINTERNET WINAPI HttpOpenRequestA(HINTERNET, LPCSTR, LPCSTR, LPCSTR, LPCSTR, LPCSTR*, DWORD, DWORD_PTR) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return nullptr;
}
BOOL WINAPI HttpAddRequestHeadersA(HINTERNET, LPCSTR, DWORD, DWORD) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
BOOL WINAPI HttpSendRequestA(HINTERNET, LPCSTR, DWORD, LPVOID, DWORD) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
BOOL WINAPI HttpQueryInfoA(HINTERNET, DWORD, LPVOID, LPDWORD, LPDWORD) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
BOOL WINAPI InternetReadFile(HINTERNET, LPVOID, DWORD, LPDWORD) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
BOOL WINAPI InternetReadFileExA(HINTERNET, LPINTERNET_BUFFERSA, DWORD, DWORD_PTR) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
BOOL WINAPI InternetQueryDataAvailable(HINTERNET, LPDWORD, DWORD, DWORD_PTR) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
BOOL WINAPI InternetSetOptionA(HINTERNET, DWORD, LPVOID, DWORD) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
BOOL WINAPI InternetQueryOptionA(HINTERNET, DWORD, LPVOID, LPDWORD) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
INTERNET_STATUS_CALLBACK WINAPI InternetSetStatusCallbackA(HINTERNET, INTERNET_STATUS_CALLBACK) {
  SetLastError(ERROR_INVALID_HANDLE);
  return INTERNET_INVALID_STATUS_CALLBACK;
}
BOOL WINAPI InternetCloseHandle(HINTERNET) {
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}
BOOL WINAPI InternetCrackUrlA(LPCSTR, DWORD, DWORD, LPURL_COMPONENTSA) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
DWORD WINAPI InternetErrorDlg(HWND, HINTERNET, DWORD, DWORD, LPVOID*) { return ERROR_CANCELLED; }
QMX_CREDENTIAL_PROMPT WINAPI QmxInternetSetCredentialPrompt(QMX_CREDENTIAL_PROMPT, LPVOID) { return nullptr; }
BOOL WINAPI QmxInternetSetTrustedCertificates(LPCSTR) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

}  // extern "C"

static_assert(sizeof(INTERNET_BUFFERSA) == 56, "INTERNET_BUFFERSA layout");
static_assert(sizeof(URL_COMPONENTSA) == 104, "URL_COMPONENTSA layout");
static_assert(sizeof(INTERNET_ASYNC_RESULT) == 16, "INTERNET_ASYNC_RESULT layout");
static_assert(sizeof(DWORD) == 4, "DWORD is 32 bits");
