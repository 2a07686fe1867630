// The process-wide credential cache, the host's credential prompt and the
// extra trust anchors.
#include <cstdio>
#include <map>

#include "Internal.h"

namespace qmxinet {
namespace {

struct CacheState {
  std::mutex mu;
  std::map<std::string, Credentials> entries;  // "S host:port" or "P host:port"
  QMX_CREDENTIAL_PROMPT prompt = nullptr;
  LPVOID promptData = nullptr;
  std::string trusted;
};

CacheState& State() {
  static CacheState* s = new CacheState;  // outlives every static destructor
  return *s;
}

std::string KeyOf(bool proxy, const std::string& key) { return (proxy ? "P " : "S ") + key; }

}  // namespace

void CachePut(bool proxy, const std::string& key, const Credentials& c) {
  if (key.empty() || c.user.empty()) return;
  std::lock_guard<std::mutex> lock(State().mu);
  State().entries[KeyOf(proxy, key)] = c;
}

bool CacheGet(bool proxy, const std::string& key, Credentials& c) {
  std::lock_guard<std::mutex> lock(State().mu);
  auto it = State().entries.find(KeyOf(proxy, key));
  if (it == State().entries.end()) return false;
  c = it->second;
  return true;
}

void CacheRemove(bool proxy, const std::string& key, const Credentials& c) {
  std::lock_guard<std::mutex> lock(State().mu);
  auto it = State().entries.find(KeyOf(proxy, key));
  // Only the rejected pair leaves; a newer answer stored meanwhile stays.
  if (it != State().entries.end() && it->second.user == c.user && it->second.password == c.password)
    State().entries.erase(it);
}

void CacheClear() {
  std::lock_guard<std::mutex> lock(State().mu);
  State().entries.clear();
}

bool RunCredentialPrompt(const QMX_CREDENTIAL_REQUEST& req, std::string& user, std::string& password) {
  QMX_CREDENTIAL_PROMPT fn;
  LPVOID data;
  {
    std::lock_guard<std::mutex> lock(State().mu);
    fn = State().prompt;
    data = State().promptData;
  }
  if (!fn) return false;
  char u[INTERNET_MAX_USER_NAME_LENGTH + 1] = {};
  char p[INTERNET_MAX_PASSWORD_LENGTH + 1] = {};
  if (!fn(&req, u, sizeof u, p, sizeof p, data)) return false;
  u[sizeof u - 1] = '\0';
  p[sizeof p - 1] = '\0';
  user = u;
  password = p;
  return true;
}

std::string TrustedCertificates() {
  std::lock_guard<std::mutex> lock(State().mu);
  return State().trusted;
}

}  // namespace qmxinet

using namespace qmxinet;

extern "C" {

QMX_CREDENTIAL_PROMPT WINAPI QmxInternetSetCredentialPrompt(QMX_CREDENTIAL_PROMPT lpfnPrompt, LPVOID lpUserData) {
  std::lock_guard<std::mutex> lock(State().mu);
  QMX_CREDENTIAL_PROMPT old = State().prompt;
  State().prompt = lpfnPrompt;
  State().promptData = lpUserData;
  return old;
}

BOOL WINAPI QmxInternetSetTrustedCertificates(LPCSTR lpszPemFile) {
  if (lpszPemFile) {
    FILE* f = std::fopen(lpszPemFile, "rb");
    if (!f) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return FALSE;
    }
    std::fclose(f);
  }
  std::lock_guard<std::mutex> lock(State().mu);
  State().trusted = lpszPemFile ? lpszPemFile : "";
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // extern "C"
