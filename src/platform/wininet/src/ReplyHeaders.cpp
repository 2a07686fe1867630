// The reply's header blocks as libcurl hands them over: one block per hop
// (redirects and authentication rounds libcurl runs itself, a proxy's reply
// to CONNECT, 1xx blocks), the decision which block is the final reply, the
// https-to-http refusal, and the publication of the final reply to the
// request (worker thread).
#include <errno.h>
#include <strings.h>

#include <cstdlib>

#include "Firewall.h"
#include "LayerIf.h"
#include "Transfer.h"

namespace qmxinet {
namespace {

// The body length a final reply announces, as the observer reports it.
int64_t ExpectedBody(const Transfer* t) {
  if (t->m_headRequest || t->m_code == 204 || t->m_code == 304) return 0;
  if (t->m_decoding && FindHeader(t->m_hdrs, "Content-Encoding")) return -1;
  const ResponseHeader* h = FindHeader(t->m_hdrs, "Content-Length");
  if (!h || FindHeader(t->m_hdrs, "Transfer-Encoding")) return -1;
  char* end = nullptr;
  errno = 0;
  long long n = std::strtoll(h->value.c_str(), &end, 10);
  if (errno || end == h->value.c_str() || n < 0) return -1;
  return n;
}

// Credentials: remembered after a reply that accepted them, forgotten after
// one that rejected them.
void SettleCredentials(const Transfer* t) {
  if (t->m_serverCreds) {
    if (t->m_code == 401) {
      CacheRemove(false, t->m_serverKey, t->m_serverUsed);
    } else if (t->m_code != 407) {
      Credentials c = t->m_serverUsed;
      if (!t->m_serverScheme.empty()) c.scheme = t->m_serverScheme;
      CachePut(false, t->m_serverKey, c);
    }
  }
  if (t->m_proxyCreds) {
    if (t->m_code == 407) {
      CacheRemove(true, t->m_proxyKey, t->m_proxyUsed);
    } else {
      Credentials c = t->m_proxyUsed;
      if (!t->m_proxyScheme.empty()) c.scheme = t->m_proxyScheme;
      CachePut(true, t->m_proxyKey, c);
    }
  }
}

// The absolute URL a Location header leads to from the current URL.
std::string ResolveLocation(CURL* easy, const std::string& location) {
  char* eff = nullptr;
  curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &eff);
  std::string out = location;
  CURLU* u = curl_url();
  if (eff && curl_url_set(u, CURLUPART_URL, eff, 0) == CURLUE_OK &&
      curl_url_set(u, CURLUPART_URL, location.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
    char* full = nullptr;
    if (curl_url_get(u, CURLUPART_URL, &full, 0) == CURLUE_OK) {
      out = full;
      curl_free(full);
    }
  }
  curl_url_cleanup(u);
  return out;
}

// The end of a header block: decides whether this reply is the final one.
// Returns false when the transfer must stop (m_abortError says why).
bool EndOfBlock(Transfer* t) {
  const DWORD code = t->m_code;
  t->m_hop = Hop::kInterim;
  if (code >= 100 && code < 200) return true;
  if (t->m_tunnelPending) {
    if (code >= 200 && code < 300) {
      t->m_tunnelPending = false;
      return true;
    }
    if (code == 407 && t->m_proxyCreds) {
      t->m_hop = Hop::kAuthRetry;
      if (auto* h = FindHeader(t->m_hdrs, "Proxy-Authenticate")) t->m_proxyScheme = FirstToken(h->value);
      return true;
    }
    PublishReply(t, true);
    return true;
  }
  if (code >= 300 && code < 400 && code != 304 && t->m_follow) {
    if (const ResponseHeader* loc = FindHeader(t->m_hdrs, "Location")) {
      std::string target = ResolveLocation(t->m_easy, loc->value);
      // Leaving https for plain http fails the request before anything is
      // sent to the http URL, unless the caller allowed it. The opposite way
      // is always allowed.
      if (!t->m_allowHttpsToHttp && strncasecmp(target.c_str(), "http://", 7) == 0) {
        char* eff = nullptr;
        curl_easy_getinfo(t->m_easy, CURLINFO_EFFECTIVE_URL, &eff);
        if (eff && strncasecmp(eff, "https://", 8) == 0) {
          t->m_abortError = ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR;
          return false;
        }
      }
      t->m_hop = Hop::kRedirect;
      // The hop's reply is in; WinINet reports it and the new URL before
      // the next request goes out.
      DWORD bytes = static_cast<DWORD>(t->m_headerBytes);
      Notify(t->m_req, INTERNET_STATUS_RESPONSE_RECEIVED, &bytes, sizeof bytes, false);
      Notify(t->m_req, INTERNET_STATUS_REDIRECT, target.c_str(), static_cast<DWORD>(target.size() + 1), false);
      return true;
    }
  }
  if (code == 401 && t->m_serverCreds) {
    if (auto* h = FindHeader(t->m_hdrs, "WWW-Authenticate")) t->m_serverScheme = FirstToken(h->value);
    t->m_hop = Hop::kAuthRetry;
    return true;
  }
  if (code == 407 && t->m_proxyCreds) {
    if (auto* h = FindHeader(t->m_hdrs, "Proxy-Authenticate")) t->m_proxyScheme = FirstToken(h->value);
    t->m_hop = Hop::kAuthRetry;
    return true;
  }
  PublishReply(t);
  return true;
}

// One header line (without its line end); false stops the transfer.
bool OnHeaderLine(Transfer* t, std::string line) {
  if (line.compare(0, 5, "HTTP/") == 0) {
    if (t->Published()) return true;  // the final reply is out; nothing replaces it
    if (t->m_hop == Hop::kWaiting || t->m_hop == Hop::kRedirect) {
      // The first status line of each hop: the request went out.
      long sent = 0;
      curl_easy_getinfo(t->m_easy, CURLINFO_REQUEST_SIZE, &sent);
      DWORD d = static_cast<DWORD>(sent);
      Notify(t->m_req, INTERNET_STATUS_REQUEST_SENT, &d, sizeof d, false);
      Notify(t->m_req, INTERNET_STATUS_RECEIVING_RESPONSE, nullptr, 0, false);
    }
    t->BeginBlock(std::move(line));
    return true;
  }
  if (t->m_hop != Hop::kHeaders) return true;  // trailers
  if (!line.empty()) {
    t->AddHeaderLine(std::move(line));
    return true;
  }
  return EndOfBlock(t);
}

}  // namespace

void Transfer::BeginBlock(std::string line) {
  m_hop = Hop::kHeaders;
  m_raw.clear();
  m_hdrs.clear();
  // Room for a usual block at once rather than growing line by line.
  m_raw.reserve(16);
  m_hdrs.reserve(16);
  size_t sp1 = line.find(' ');
  m_versionText = line.substr(0, sp1);
  m_code = 0;
  m_statusText.clear();
  if (sp1 != std::string::npos) {
    // The status code is exactly three digits, as HTTP has it.
    const char* d = line.c_str() + sp1 + 1;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (digit(d[0]) && digit(d[1]) && digit(d[2]))
      m_code = static_cast<DWORD>((d[0] - '0') * 100 + (d[1] - '0') * 10 + (d[2] - '0'));
    size_t sp2 = line.find(' ', sp1 + 1);
    if (sp2 != std::string::npos) m_statusText = line.substr(sp2 + 1);
  }
  m_raw.push_back(std::move(line));
}

void Transfer::AddHeaderLine(std::string line) {
  if ((line[0] == ' ' || line[0] == '\t') && !m_hdrs.empty()) {
    // A folded line continues the previous header; one of blanks only adds
    // nothing.
    const size_t text = line.find_first_not_of(" \t");
    if (text != std::string::npos) m_hdrs.back().value += " " + line.substr(text);
    m_raw.push_back(std::move(line));
    return;
  }
  size_t colon = line.find(':');
  ResponseHeader h;
  h.name = line.substr(0, colon);
  if (colon != std::string::npos) {
    size_t v = line.find_first_not_of(" \t", colon + 1);
    if (v != std::string::npos) h.value = line.substr(v);
  }
  m_hdrs.push_back(std::move(h));
  m_raw.push_back(std::move(line));
}

void PublishReply(Transfer* t, bool fromProxy) {
  if (t->Published()) return;
  t->m_bodyExpected = ExpectedBody(t);
  t->m_hop = fromProxy ? Hop::kFinalFromProxy : Hop::kFinal;
  RequestObj& r = *t->m_req;
  SettleCredentials(t);
  char* eff = nullptr;
  curl_easy_getinfo(t->m_easy, CURLINFO_EFFECTIVE_URL, &eff);
  // Raised before the reply is published, so that a synchronous caller runs
  // it inside its send and it precedes REQUEST_COMPLETE.
  DWORD bytes = static_cast<DWORD>(t->m_headerBytes);
  Notify(t->m_req, INTERNET_STATUS_RESPONSE_RECEIVED, &bytes, sizeof bytes, false);
  {
    std::lock_guard<std::mutex> lock(r.m_mu);
    if (r.m_generation != t->m_gen || r.m_closed) return;
    r.m_status = t->m_code;
    // The transfer is done with its header block once it is published (a
    // later block starts from empty), so the texts move.
    r.m_versionText = std::move(t->m_versionText);
    r.m_statusText = std::move(t->m_statusText);
    r.m_rawLines = std::move(t->m_raw);
    r.m_headers = std::move(t->m_hdrs);
    if (eff) r.m_url = eff;
    r.m_tlsDone = t->m_https && !fromProxy;
    r.m_phase = RequestObj::Phase::kHeaders;
    if (r.m_op == OpKind::kSend) r.FinishOpLocked(0);
  }
  NotifyComplete(t->m_req, 1, 0);
}

size_t HeaderCallback(char* data, size_t size, size_t count, void* ud) {
  Transfer* t = static_cast<Transfer*>(ud);
  size_t len = size * count;
  t->Touch(NowMs());
  t->m_headerBytes += len;
  if (t->m_headerBytes > kMaxReplyHeaderBytes) {
    t->m_abortError = ERROR_HTTP_INVALID_SERVER_RESPONSE;
    return 0;  // libcurl ends the transfer
  }
  size_t n = len;
  while (n > 0 && (data[n - 1] == '\n' || data[n - 1] == '\r')) --n;
  bool goOn = false;
  if (DWORD err = Contain([&] { goOn = OnHeaderLine(t, std::string(data, n)); })) t->m_abortError = err;
  return goOn ? len : 0;
}

}  // namespace qmxinet
