#include "TerminalPrompt.h"

#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "qmxwininet_ext.h"

namespace confweba {

namespace {

bool ReadLine(std::string& line) {
  char buf[512];
  if (!fgets(buf, sizeof(buf), stdin)) return false;
  line = buf;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return true;
}

void CopyOut(const std::string& text, char* out, unsigned long size) {
  if (size == 0) return;
  const size_t n = text.size() < size - 1 ? text.size() : size - 1;
  memcpy(out, text.data(), n);
  out[n] = 0;
}

// Runs on the host's thread while the request waits; it blocks that thread
// and runs no events. Cancels unless both stdin and stderr are a terminal.
BOOL CALLBACK TerminalPrompt(const QMX_CREDENTIAL_REQUEST* req, LPSTR lpszUserName, DWORD cchUserName,
                             LPSTR lpszPassword, DWORD cchPassword, LPVOID) {
  if (!isatty(STDIN_FILENO) || !isatty(STDERR_FILENO)) return FALSE;
  fprintf(stderr, "%s %s:%u asks for a logon%s%s%s.\n", req->fProxy ? "The proxy" : "The site",
          req->lpszHost ? req->lpszHost : "", static_cast<unsigned>(req->nPort),
          req->lpszRealm && *req->lpszRealm ? " (realm \"" : "", req->lpszRealm ? req->lpszRealm : "",
          req->lpszRealm && *req->lpszRealm ? "\")" : "");
  const std::string last = req->lpszUserName ? req->lpszUserName : "";
  fprintf(stderr, "User name%s%s%s: ", last.empty() ? "" : " [", last.c_str(), last.empty() ? "" : "]");
  std::string user;
  if (!ReadLine(user)) return FALSE;
  if (user.empty()) user = last;

  fprintf(stderr, "Password: ");
  termios saved;
  const bool quiet = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (quiet) {
    termios silent = saved;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
  }
  std::string password;
  const bool ok = ReadLine(password);
  if (quiet) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  fprintf(stderr, "\n");
  if (!ok) return FALSE;
  CopyOut(user, lpszUserName, cchUserName);
  CopyOut(password, lpszPassword, cchPassword);
  return TRUE;
}

}  // namespace

void InstallTerminalPrompt() { QmxInternetSetCredentialPrompt(TerminalPrompt, nullptr); }

}  // namespace confweba
