// Status reports of connecting: name resolution (once per host and
// process), the connection, and the request going out (worker thread).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <set>

#include "Firewall.h"
#include "LayerIf.h"
#include "Transfer.h"

namespace qmxinet {
namespace {

curl_socket_t OpenSocket(Transfer* t, struct curl_sockaddr* addr) {
  char ip[INET6_ADDRSTRLEN + 2] = {};
  if (addr->family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&addr->addr)->sin_addr, ip, sizeof ip);
  } else if (addr->family == AF_INET6) {
    char v6[INET6_ADDRSTRLEN] = {};
    inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6*>(&addr->addr)->sin6_addr, v6, sizeof v6);
    std::snprintf(ip, sizeof ip, "[%s]", v6);
  }
  t->m_socketOpened = true;
  t->m_peerIp = ip;
  // Like WinINet, name resolution is reported the first time a host is
  // looked up in the process (worker thread only: no lock needed).
  static std::set<std::string> resolved;
  const std::string& host = t->m_connectHost;
  if (resolved.insert(host).second) {
    Notify(t->m_req, INTERNET_STATUS_RESOLVING_NAME, host.c_str(), static_cast<DWORD>(host.size() + 1), false);
    Notify(t->m_req, INTERNET_STATUS_NAME_RESOLVED, ip, static_cast<DWORD>(std::strlen(ip) + 1), false);
  }
  Notify(t->m_req, INTERNET_STATUS_CONNECTING_TO_SERVER, ip, static_cast<DWORD>(std::strlen(ip) + 1), false);
  return socket(addr->family, addr->socktype | SOCK_CLOEXEC, addr->protocol);
}

void ReportSending(Transfer* t) {
  if (t->m_socketOpened) {
    t->m_socketOpened = false;
    Notify(t->m_req, INTERNET_STATUS_CONNECTED_TO_SERVER, t->m_peerIp.c_str(),
           static_cast<DWORD>(t->m_peerIp.size() + 1), false);
  }
  Notify(t->m_req, INTERNET_STATUS_SENDING_REQUEST, nullptr, 0, false);
}

}  // namespace

curl_socket_t OpenSocketCallback(void* ud, curlsocktype, struct curl_sockaddr* addr) {
  Transfer* t = static_cast<Transfer*>(ud);
  curl_socket_t s = CURL_SOCKET_BAD;
  // A failure here fails the connection; the transfer ends with its error.
  if (DWORD err = Contain([&] { s = OpenSocket(t, addr); })) t->m_abortError = err;
  return s;
}

int PrereqCallback(void* ud, char*, char*, int, int) {
  Transfer* t = static_cast<Transfer*>(ud);
  if (DWORD err = Contain([&] { ReportSending(t); })) {
    t->m_abortError = err;
    return CURL_PREREQFUNC_ABORT;
  }
  return CURL_PREREQFUNC_OK;
}

}  // namespace qmxinet
