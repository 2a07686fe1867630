/* URLs and how InternetCrackUrlA splits them (with buffers for every part).
   CrackUrlTest checks this layer against the table, and the probe
   (probe/wininet_probe.cpp, built with MinGW too) prints a real WinINet's
   answers for the same URLs. Include after wininet.h. */
#ifndef QMX_TESTS_WININET_CRACKURLCASES_H
#define QMX_TESTS_WININET_CRACKURLCASES_H

struct CrackUrlCase {
  const char* url;
  DWORD error; /* 0: cracked */
  const char* scheme;
  int nScheme;
  const char* host;
  unsigned port;
  const char* path;
  const char* extra;
  const char* user;
  const char* password;
};

static const struct CrackUrlCase kCrackUrlCases[] = {
    {"http://h", 0, "http", INTERNET_SCHEME_HTTP, "h", 80, "", "", "", ""},
    {"http://h/", 0, "http", INTERNET_SCHEME_HTTP, "h", 80, "/", "", "", ""},
    {"https://h:8443/p?x=1#f", 0, "https", INTERNET_SCHEME_HTTPS, "h", 8443, "/p", "?x=1#f", "", ""},
    {"HTTPS://H/", 0, "HTTPS", INTERNET_SCHEME_HTTPS, "H", 443, "/", "", "", ""},
    {"http://user:pass@h/x", 0, "http", INTERNET_SCHEME_HTTP, "h", 80, "/x", "", "user", "pass"},
    {"foo://h/x", 0, "foo", INTERNET_SCHEME_UNKNOWN, "h", 0, "/x", "", "", ""},
    {"C:\\file.txt", 0, "C", INTERNET_SCHEME_UNKNOWN, "", 0, "\\file.txt", "", "", ""},
    {"https://h/site/?a=1", 0, "https", INTERNET_SCHEME_HTTPS, "h", 443, "/site/", "?a=1", "", ""},
    {"http://h/a/../b;p#frag", 0, "http", INTERNET_SCHEME_HTTP, "h", 80, "/a/../b;p", "#frag", "", ""},
    {"www.example.com/x", ERROR_INTERNET_UNRECOGNIZED_SCHEME, "", 0, "", 0, "", "", "", ""},
    {"", ERROR_INTERNET_UNRECOGNIZED_SCHEME, "", 0, "", 0, "", "", "", ""},
    /* A part longer than its buffer. */
    {"http://a-host-name-longer-than-the-sixty-four-bytes-of-its-buffer.example.com/", ERROR_INSUFFICIENT_BUFFER, "", 0,
     "", 0, "", "", "", ""},
};

/* Buffers for every part of one URL, and the call that fills them. */
struct CrackedUrl {
  char scheme[64], host[64], path[64], extra[64], user[64], password[64];
  URL_COMPONENTSA uc;
};

static BOOL CrackInto(const char* url, struct CrackedUrl* c) {
  memset(c, 0, sizeof *c);
  c->uc.dwStructSize = sizeof c->uc;
  c->uc.lpszScheme = c->scheme;
  c->uc.dwSchemeLength = sizeof c->scheme;
  c->uc.lpszHostName = c->host;
  c->uc.dwHostNameLength = sizeof c->host;
  c->uc.lpszUrlPath = c->path;
  c->uc.dwUrlPathLength = sizeof c->path;
  c->uc.lpszExtraInfo = c->extra;
  c->uc.dwExtraInfoLength = sizeof c->extra;
  c->uc.lpszUserName = c->user;
  c->uc.dwUserNameLength = sizeof c->user;
  c->uc.lpszPassword = c->password;
  c->uc.dwPasswordLength = sizeof c->password;
  return InternetCrackUrlA(url, 0, 0, &c->uc);
}

#endif
