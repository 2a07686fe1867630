// The process-wide credential cache, the host's credential prompt and the
// extra trust anchors.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <cstdio>
#include <map>

#include "ApiSupport.h"

namespace qmxinet {
namespace {

// Any thread, under m_mu; one per process, never destroyed.
struct CacheState {
  std::mutex m_mu;
  std::map<std::string, Credentials> m_entries;  // "S host:port" or "P host:port"
  QMX_CREDENTIAL_PROMPT m_prompt = nullptr;
  LPVOID m_promptData = nullptr;
  std::string m_trusted;
};

CacheState& State() {
  static CacheState* s = new CacheState;  // outlives every static destructor
  return *s;
}

std::string KeyOf(bool proxy, const std::string& key) { return (proxy ? "P " : "S ") + key; }

}  // namespace

void CachePut(bool proxy, const std::string& key, const Credentials& c) {
  if (key.empty() || c.user.empty()) return;
  std::lock_guard<std::mutex> lock(State().m_mu);
  State().m_entries[KeyOf(proxy, key)] = c;
}

bool CacheGet(bool proxy, const std::string& key, Credentials& c) {
  std::lock_guard<std::mutex> lock(State().m_mu);
  auto it = State().m_entries.find(KeyOf(proxy, key));
  if (it == State().m_entries.end()) return false;
  c = it->second;
  return true;
}

void CacheRemove(bool proxy, const std::string& key, const Credentials& c) {
  std::lock_guard<std::mutex> lock(State().m_mu);
  auto it = State().m_entries.find(KeyOf(proxy, key));
  // Only the rejected pair leaves; a newer answer stored meanwhile stays.
  if (it != State().m_entries.end() && it->second.user == c.user && it->second.password == c.password)
    State().m_entries.erase(it);
}

void CacheClear() {
  std::lock_guard<std::mutex> lock(State().m_mu);
  State().m_entries.clear();
}

bool RunCredentialPrompt(const QMX_CREDENTIAL_REQUEST& req, std::string& user, std::string& password) {
  QMX_CREDENTIAL_PROMPT fn;
  LPVOID data;
  {
    std::lock_guard<std::mutex> lock(State().m_mu);
    fn = State().m_prompt;
    data = State().m_promptData;
  }
  if (!fn) return false;
  char u[INTERNET_MAX_USER_NAME_LENGTH + 1] = {};
  char p[INTERNET_MAX_PASSWORD_LENGTH + 1] = {};
  // The host's prompt may not throw through the C interface; if it does,
  // the question counts as cancelled.
  bool answered = false;
  if (Contain([&] { answered = fn(&req, u, sizeof u, p, sizeof p, data) != FALSE; }) || !answered) return false;
  u[sizeof u - 1] = '\0';
  p[sizeof p - 1] = '\0';
  user = u;
  password = p;
  return true;
}

std::string TrustedCertificates() {
  std::lock_guard<std::mutex> lock(State().m_mu);
  return State().m_trusted;
}

// InternetErrorDlg without a window: the host's prompt answers for the
// server (401) or the proxy (407) of the request's last reply.
DWORD LogonDialog(HINTERNET hRequest, DWORD dwError, DWORD dwFlags) {
  // There is no window: the owner is ignored rather than required.
  RequestPtr r = FindRequest(hRequest);
  if (!r) return ERROR_INVALID_HANDLE;
  switch (dwError) {
    case ERROR_SUCCESS:
    case ERROR_INTERNET_INCORRECT_PASSWORD:
    case ERROR_INTERNET_LOGIN_FAILURE:
      break;
    default:
      // Certificate and other questions need a dialog that does not exist.
      return ERROR_CANCELLED;
  }
  DWORD status;
  std::vector<ResponseHeader> headers;
  {
    std::lock_guard<std::mutex> lock(r->m_mu);
    status = r->m_phase == RequestObj::Phase::kHeaders ? r->m_status : 0;
    headers = r->m_headers;
  }
  if (status != HTTP_STATUS_DENIED && status != HTTP_STATUS_PROXY_AUTH_REQ) return ERROR_SUCCESS;
  if (dwFlags & FLAGS_ERROR_UI_FLAGS_NO_UI) return ERROR_CANCELLED;
  bool proxy = status == HTTP_STATUS_PROXY_AUTH_REQ;
  std::string scheme;
  std::string realm = FindChallengeParam(headers, proxy ? "Proxy-Authenticate" : "WWW-Authenticate", &scheme);
  std::string host, lastUser;
  INTERNET_PORT port;
  ProxyChoice route = RouteProxy(r);
  {
    std::lock_guard<std::mutex> lock(r->m_conn->m_mu);
    host = r->m_conn->m_host;
    port = r->m_conn->m_port;
    if (port == 0) port = (r->m_conn->m_flags & INTERNET_FLAG_SECURE) ? 443 : 80;
    lastUser = proxy ? r->m_conn->m_proxyUser : r->m_conn->m_user;
  }
  {
    std::lock_guard<std::mutex> lock(r->m_mu);
    if (!(proxy ? r->m_proxyUser : r->m_user).empty()) lastUser = proxy ? r->m_proxyUser : r->m_user;
  }
  if (proxy) {
    if (route.none) return ERROR_CANCELLED;
    host = route.host;
    port = route.port;
  }
  QMX_CREDENTIAL_REQUEST q{};
  q.dwStructSize = sizeof q;
  q.fProxy = proxy;
  q.lpszHost = host.c_str();
  q.nPort = port;
  q.lpszRealm = realm.c_str();
  q.lpszScheme = scheme.c_str();
  q.lpszUserName = lastUser.c_str();
  std::string user, password;
  if (!RunCredentialPrompt(q, user, password)) return ERROR_CANCELLED;
  {
    std::lock_guard<std::mutex> lock(r->m_mu);
    (proxy ? r->m_proxyUser : r->m_user) = user;
    (proxy ? r->m_proxyPassword : r->m_password) = password;
  }
  // Into the cache at once: callers often answer with brand-new handles.
  CachePut(proxy, host + ":" + std::to_string(port), Credentials{user, password, scheme});
  return ERROR_INTERNET_FORCE_RETRY;
}

}  // namespace qmxinet

using namespace qmxinet;

extern "C" {

QMX_CREDENTIAL_PROMPT WINAPI QmxInternetSetCredentialPrompt(QMX_CREDENTIAL_PROMPT lpfnPrompt, LPVOID lpUserData) {
  std::lock_guard<std::mutex> lock(State().m_mu);
  QMX_CREDENTIAL_PROMPT old = State().m_prompt;
  State().m_prompt = lpfnPrompt;
  State().m_promptData = lpUserData;
  return old;
}

BOOL WINAPI QmxInternetSetTrustedCertificates(LPCSTR lpszPemFile) {
  return Firewall<BOOL>(FALSE, [&] {
    if (lpszPemFile) {
      // The file is read now, as TLS will read it for every handshake: one
      // that holds no certificate (a key, a DER file, anything else) is
      // refused here rather than failing every later HTTPS request.
      BIO* bio = BIO_new_file(lpszPemFile, "rb");
      if (!bio) {
        ERR_clear_error();
        return Fail(ERROR_FILE_NOT_FOUND);
      }
      STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(bio, nullptr, nullptr, nullptr);
      BIO_free(bio);
      int certificates = 0;
      for (int i = 0; infos && i < sk_X509_INFO_num(infos); ++i)
        if (sk_X509_INFO_value(infos, i)->x509) ++certificates;
      sk_X509_INFO_pop_free(infos, X509_INFO_free);
      ERR_clear_error();
      if (certificates == 0) return Fail(ERROR_INVALID_DATA);
    }
    std::string path = lpszPemFile ? lpszPemFile : "";
    std::lock_guard<std::mutex> lock(State().m_mu);
    State().m_trusted.swap(path);
    return Ok();
  });
}

DWORD WINAPI InternetErrorDlg(HWND, HINTERNET hRequest, DWORD dwError, DWORD dwFlags, LPVOID*) {
  // The result is the error itself, so a failure inside answers with its code.
  DWORD result = ERROR_SUCCESS;
  if (DWORD err = Contain([&] { result = LogonDialog(hRequest, dwError, dwFlags); })) {
    SetLastError(err);
    return err;
  }
  return result;
}

}  // extern "C"
