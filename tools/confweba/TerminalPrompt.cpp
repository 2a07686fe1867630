#include "TerminalPrompt.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "Printable.h"
#include "qmxwininet_ext.h"

namespace confweba {

namespace {

// One line of stdin without its line break ("\n" or "\r\n"); false at the
// end of the input with nothing read.
bool ReadLine(std::string& line) {
  char* buf = nullptr;
  size_t cap = 0;
  const ssize_t n = getline(&buf, &cap, stdin);
  if (n < 0) {
    free(buf);
    return false;
  }
  line.assign(buf, static_cast<size_t>(n));
  if (!line.empty()) explicit_bzero(buf, line.size());
  free(buf);
  if (!line.empty() && line.back() == '\n') line.pop_back();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

// A line from the terminal with its echo off (the user's Enter is echoed
// as a line feed on stderr).
bool ReadHiddenLine(std::string& line) {
  termios saved;
  const bool quiet = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (quiet) {
    termios silent = saved;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
  }
  const bool ok = ReadLine(line);
  if (quiet) tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  fprintf(stderr, "\n");
  return ok;
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
  // Host and realm are the server's words: printed escaped.
  const std::string host = Printable(req->lpszHost ? req->lpszHost : "");
  const std::string realm = Printable(req->lpszRealm ? req->lpszRealm : "");
  fprintf(stderr, "%s %s:%u asks for a logon%s%s%s.\n", req->fProxy ? "The proxy" : "The site", host.c_str(),
          static_cast<unsigned>(req->nPort), realm.empty() ? "" : " (realm \"", realm.c_str(),
          realm.empty() ? "" : "\")");
  const std::string last = req->lpszUserName ? req->lpszUserName : "";
  const std::string lastShown = Printable(last);
  fprintf(stderr, "User name%s%s%s: ", last.empty() ? "" : " [", lastShown.c_str(), last.empty() ? "" : "]");
  std::string user;
  if (!ReadLine(user)) return FALSE;
  if (user.empty()) user = last;

  fprintf(stderr, "Password: ");
  std::string password;
  if (!ReadHiddenLine(password)) return FALSE;
  CopyOut(user, lpszUserName, cchUserName);
  CopyOut(password, lpszPassword, cchPassword);
  return TRUE;
}

}  // namespace

bool ReadSecret(const char* prompt, std::string& value) {
  if (!isatty(STDIN_FILENO)) return ReadLine(value);
  fprintf(stderr, "%s: ", prompt);
  return ReadHiddenLine(value);
}

void InstallTerminalPrompt() { QmxInternetSetCredentialPrompt(TerminalPrompt, nullptr); }

}  // namespace confweba
