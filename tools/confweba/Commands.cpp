#include "Commands.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>

#include <nlohmann/json.hpp>

#include "ErrorText.h"
#include "Host.h"
#include "Printable.h"
#include "ProgressBar.h"
#include "SiteSimulator.h"
#include "qmxconfweba_ext.h"
#include "windows.h"

namespace confweba {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

namespace {

// Texts from the module are in the local code page; JSON wants UTF-8.
std::string LocalToUtf8(const std::string& text) {
  if (text.empty()) return text;
  const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return text;
  std::u16string wide(static_cast<size_t>(n), u'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), n);
  const int m = WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
  if (m <= 0) return text;
  std::string out(static_cast<size_t>(m), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, out.data(), m, nullptr, nullptr);
  return out;
}

void PrintJson(const json& j) { std::cout << j.dump(-1, ' ', false, json::error_handler_t::replace) << std::endl; }

int ExitCode(int result) { return result == 0 ? 0 : 1; }

// "confweba: join failed: <text> (<code>)", and ": <cause>" when the
// transport knows one.
void PrintFailure(const char* what, int result, const std::string& cause = std::string(),
                  const std::string& more = std::string()) {
  std::cerr << "confweba: " << what << " failed: " << ErrorText(result) << " (" << result << ")"
            << (cause.empty() ? "" : ": " + cause) << (more.empty() ? "" : ": " + more) << std::endl;
}

// Adds "cause" to a result object when one is known.
void AddCause(json& j, const std::string& cause) {
  if (!cause.empty()) j["cause"] = cause;
}

// Indents every line of a configuration text for the console; each line
// is printed escaped, so the text keeps its lines but no control character
// reaches the terminal.
void PrintIndented(const std::string& text) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::cout << "    " << Printable(text.substr(pos, end - pos)) << "\n";
    pos = end + 1;
  }
}

// Writes bytes to path, readable by the user only: a new file made 0600 in
// one step beside it, then renamed over path. A symlink at path is replaced,
// never written through, and no one sees a partly written file.
bool WritePrivateFile(const fs::path& path, const std::string& bytes, std::string& error) {
  std::string tmp = (path.parent_path() / ("." + path.filename().string() + ".XXXXXX")).string();
  const int fd = mkostemp(tmp.data(), O_CLOEXEC);  // mode 0600
  bool ok = fd >= 0;
  for (size_t done = 0; ok && done < bytes.size();) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  if (fd >= 0 && close(fd) != 0) ok = false;
  if (ok && rename(tmp.c_str(), path.c_str()) != 0) ok = false;
  if (!ok) {
    error = "cannot write " + path.string() + ": " + strerror(errno);
    if (fd >= 0) unlink(tmp.c_str());
  }
  return ok;
}

struct GetOutcome {
  int result = 0;
  std::string file;
  uintmax_t bytes = 0;
  std::string cause;
};

// Downloads through the module into dir (made absolute first) and checks
// that the file is there: the module reports 0 even when it could not write.
// With progress, a progress bar runs on stderr meanwhile.
GetOutcome DoGet(CConfWebaHost& host, const std::string& url, const std::string& dir, const std::string& name,
                 bool progress = false) {
  GetOutcome o;
  std::error_code ec;
  fs::path abs = fs::absolute(dir, ec);
  if (ec) abs = dir;
  std::string absDir = abs.string();
  {
    CProgressBar bar(stderr, progress);
    o.result = host.GetFile(url, absDir, name, [&bar](long long received, long long total) {
      bar.OnProgress(static_cast<uint64_t>(received), total);
    });
    o.cause = host.Cause();
  }
  const std::string fileName = name.empty() ? DownloadFileName(url) : name;
  if (!absDir.empty() && absDir.back() != '/') absDir += '/';
  o.file = absDir + fileName;
  if (o.result == 0) {
    if (fileName.empty() || !fs::is_regular_file(o.file, ec)) {
      o.result = QMX_ERR_NO_FILE;
    } else {
      o.bytes = fs::file_size(o.file, ec);
    }
  }
  return o;
}

json JoinJson(const JoinOutcome& o, const std::string& cause) {
  json j{{"command", "join"},
         {"result", o.result},
         {"error", ErrorText(o.result)},
         {"confDownloadUrl", LocalToUtf8(o.confDownloadUrl)},
         {"loaderIni", LocalToUtf8(o.loaderIni)},
         {"confTokenIni", LocalToUtf8(o.confTokenIni)}};
  AddCause(j, cause);
  return j;
}

json InviteJson(int result, int sent, const std::string& cause) {
  json j{{"command", "invite"}, {"result", result}, {"error", ErrorText(result)}, {"sent", sent}};
  AddCause(j, cause);
  return j;
}

json GetJson(const GetOutcome& o) {
  json j{{"command", "get"},
         {"result", o.result},
         {"error", ErrorText(o.result)},
         {"file", LocalToUtf8(o.file)},
         {"bytes", o.bytes}};
  AddCause(j, o.cause);
  return j;
}

void PrintJoinText(const JoinOutcome& o, bool silent = false) {
  if (!silent) std::cout << "result: 0" << std::endl;
  std::cout << "loader address: " << Printable(o.confDownloadUrl) << std::endl;
  std::cout << "conference configuration:" << std::endl;
  PrintIndented(o.confTokenIni);
  std::cout << "loader configuration:" << std::endl;
  PrintIndented(o.loaderIni);
  std::cout.flush();
}

// Opens the host, or reports why it could not.
bool OpenHost(CConfWebaHost& host, const GlobalArgs& g, const char* command) {
  const int rt = host.Open();
  if (rt == 0) return true;
  if (g.json) PrintJson(json{{"command", command}, {"result", rt}, {"error", ErrorText(rt)}});
  PrintFailure("starting the module", rt);
  return false;
}

}  // namespace

std::string DownloadFileName(const std::string& url) {
  // The name is at most as long as the address (decoding only shortens it),
  // or "temp.tmp".
  std::string name(url.size() + 16, '\0');
  const int n = QmxConfWebaFileNameFromUrl(url.c_str(), name.data(), static_cast<unsigned int>(name.size()));
  if (n < 0) return std::string();
  name.resize(static_cast<size_t>(n));
  return name;
}

int RunJoin(const GlobalArgs& g, const JoinArgs& a) {
  CConfWebaHost host;
  if (!OpenHost(host, g, "join")) return 1;
  const JoinOutcome o = host.Join(a.url, a.confPass, a.email, a.name, a.user, a.password);
  const std::string joinCause = host.Cause();
  json j = JoinJson(o, joinCause);
  int exitCode = ExitCode(o.result);

  if (o.result == 0 && !a.out.empty()) {
    std::error_code ec;
    fs::create_directories(a.out, ec);
    const fs::path dir = fs::absolute(a.out, ec);
    std::string error;
    json files = json::array();
    const std::pair<const char*, const std::string*> outputs[] = {
        {"conftoken.ini", &o.confTokenIni}, {"loader.ini", &o.loaderIni}, {"loaderurl.txt", nullptr}};
    for (const auto& out : outputs) {
      const std::string bytes = out.second ? *out.second : o.confDownloadUrl + "\n";
      if (!WritePrivateFile(dir / out.first, bytes, error)) break;
      files.push_back(LocalToUtf8((dir / out.first).string()));
    }
    j["files"] = files;
    if (!error.empty()) {
      j["outError"] = error;
      std::cerr << "confweba: " << Printable(error) << std::endl;
      exitCode = 1;
    }
  }

  GetOutcome fetched;
  const bool fetch = o.result == 0 && a.fetchLoader;
  if (fetch) {
    fetched = DoGet(host, o.confDownloadUrl, a.out.empty() ? "." : a.out, "", CProgressBar::Wanted(g.quiet, g.json));
    j["loader"] = GetJson(fetched);
    j["loader"].erase("command");
    if (fetched.result != 0) exitCode = 1;
  }

  if (g.json) {
    PrintJson(j);
  } else if (o.result != 0) {
    PrintFailure("join", o.result, joinCause);
  } else {
    PrintJoinText(o, g.silent);
    if (j.contains("files") && !g.silent) {
      for (const auto& f : j["files"]) std::cout << "wrote " << Printable(f.get<std::string>()) << std::endl;
    }
    if (fetch) {
      if (fetched.result == 0) {
        if (!g.silent)
          std::cout << "loader saved: " << Printable(fetched.file) << " (" << fetched.bytes << " bytes)" << std::endl;
      } else {
        PrintFailure("loader download", fetched.result, fetched.cause);
      }
    }
  }
  return exitCode;
}

namespace {

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  const size_t n = strlen(prefix);
  return text.size() >= n && strncasecmp(text.c_str(), prefix, n) == 0;
}

// The module's QMX_ERR_INVALID_ARG with no address taken, for a request whose other
// arguments are in order: the first address alone is too long for the
// request.
bool NoAddressFits(const InviteArgs& a, int result, int sent) {
  const auto blank = [](const std::string& s) { return s.find_first_not_of(" \t") == std::string::npos; };
  return result == QMX_ERR_INVALID_ARG && sent == 0 && !a.emails.empty() && !blank(a.siteName) && !blank(a.confId) &&
         (StartsWithNoCase(a.siteUrl, "http://") || StartsWithNoCase(a.siteUrl, "https://"));
}

}  // namespace

int RunInvite(const GlobalArgs& g, const InviteArgs& a) {
  CConfWebaHost host;
  if (!OpenHost(host, g, "invite")) return 1;
  const int result = host.Invite(a.siteUrl, a.siteName, a.user, a.password, a.confId, a.emails);
  // How many addresses went into the request: it has room for a limited
  // number, and the module drops those after the one that fills it.
  const int sent = QmxConfWebaLastInviteCount();
  const size_t given = a.emails.size();
  if (g.json) {
    PrintJson(InviteJson(result, sent, host.Cause()));
  } else if (result != 0) {
    PrintFailure("invite", result, host.Cause(),
                 NoAddressFits(a, result, sent) ? "not even the first address fits in one request" : "");
  } else {
    if (!g.silent) std::cout << "result: 0" << std::endl;
    std::cout << "invitations sent to " << sent;
    if (static_cast<size_t>(sent) < given) {
      std::cout << " of " << given << " addresses; the rest did not fit in one request";
    } else {
      std::cout << " address" << (sent == 1 ? "" : "es");
    }
    std::cout << std::endl;
  }
  return ExitCode(result);
}

namespace {

// Writes the whole file at path to stdout. False, with the reason, when it
// cannot be read or stdout takes no more (a closed pipe included: SIGPIPE is
// ignored meanwhile, so that the temporary copy is still removed).
bool CopyToStdout(const std::string& path, std::string& cause) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    cause = strerror(errno);
    return false;
  }
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGPIPE, &ignore, &previous);
  char buf[65536];
  bool ok = true;
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < n;) {
      const ssize_t w = write(STDOUT_FILENO, buf + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      ok = w > 0;
      if (ok) done += w;
    }
    if (!ok) break;
  }
  if (!ok) cause = strerror(errno);
  sigaction(SIGPIPE, &previous, nullptr);
  close(fd);
  return ok;
}

// A private folder for a download on its way to stdout: $TMPDIR, else /tmp.
std::string MakePrivateFolder() {
  const char* tmp = getenv("TMPDIR");
  std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/confweba-XXXXXX";
  return mkdtemp(tmpl.data()) ? tmpl : std::string();
}

// get URL -o FILE: the module stores the download under a fresh name of its
// own beside FILE, which then takes FILE's place, so that FILE changes
// only when the whole file arrived (whatever FILE's name, which the module
// might refuse). -o -: into a private folder, then copied to stdout.
GetOutcome DoGetTo(CConfWebaHost& host, const GetArgs& a, bool progress) {
  GetOutcome o;
  const bool toStdout = a.output == "-";
  std::error_code ec;
  fs::path target = toStdout ? fs::path() : fs::absolute(a.output, ec);
  std::string folder, reserved;
  if (toStdout) {
    folder = MakePrivateFolder();
  } else if (fs::is_directory(target, ec)) {
    o.result = QMX_ERR_FILE_NOT_WRITTEN;
    o.cause = a.output + " is a directory";
    return o;
  } else {
    reserved = (target.parent_path() / ".confweba-XXXXXX.part").string();
    // A fresh name, not left taken: a file at it would pass for the download.
    const int fd = mkostemps(reserved.data(), 5, O_CLOEXEC);
    if (fd >= 0) {
      close(fd);
      unlink(reserved.c_str());
    }
    folder = fd >= 0 ? target.parent_path().string() : std::string();
  }
  if (folder.empty()) {
    o.result = QMX_ERR_FILE_NOT_WRITTEN;
    o.cause = (toStdout ? std::string("temporary folder") : target.parent_path().string()) + ": " + strerror(errno);
    return o;
  }
  const std::string name = toStdout ? "download" : fs::path(reserved).filename().string();
  o = DoGet(host, a.url, folder, name, progress);
  if (o.result == 0 && toStdout && !CopyToStdout(o.file, o.cause)) {
    o.result = QMX_ERR_FILE_NOT_WRITTEN;
    o.cause = "stdout: " + o.cause;
  }
  if (o.result == 0 && !toStdout && rename(reserved.c_str(), target.c_str()) != 0) {
    o.result = QMX_ERR_FILE_NOT_WRITTEN;
    o.cause = a.output + ": " + strerror(errno);
  }
  if (toStdout) {
    fs::remove_all(folder, ec);
  } else if (o.result != 0) {
    unlink(reserved.c_str());
  }
  o.file = toStdout ? "-" : target.string();
  return o;
}

}  // namespace

int RunGet(const GlobalArgs& g, const GetArgs& a) {
  CConfWebaHost host;
  if (!OpenHost(host, g, "get")) return 1;
  const bool progress = CProgressBar::Wanted(g.quiet, g.json);
  const GetOutcome o = a.output.empty() ? DoGet(host, a.url, a.dir, a.name, progress) : DoGetTo(host, a, progress);
  // Ctrl-C: the download was cancelled and left nothing; the shell's code
  // for an interrupted program.
  const int exitCode = o.result == QMX_ERR_CANCELLED ? 130 : ExitCode(o.result);
  if (g.json) {
    PrintJson(GetJson(o));
  } else if (o.result != 0) {
    PrintFailure("get", o.result, o.cause);
  } else if (!g.silent && a.output != "-") {
    std::cout << "result: 0" << std::endl << "saved " << Printable(o.file) << " (" << o.bytes << " bytes)" << std::endl;
  }
  return exitCode;
}

namespace {

bool LoadSiteData(const std::string& path, sitesim::SiteData& data) {
  if (path.empty()) {
    data = sitesim::SiteData::Default();
    return true;
  }
  std::string error;
  if (!sitesim::SiteData::LoadFile(path, data, error)) {
    std::cerr << "confweba: " << error << std::endl;
    return false;
  }
  return true;
}

}  // namespace

int RunSite(const GlobalArgs& g, const SiteArgs& a) {
  sitesim::SiteData data;
  if (!LoadSiteData(a.data, data)) return 1;
  if (a.dumpData) {
    std::cout << data.ToJson();
    return 0;
  }

  // The server's threads inherit this mask, so only the wait below sees the
  // signals that end the simulator.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  sitesim::CSiteSimulator sim(data);
  std::mutex printLock;
  std::ostream& log = g.json ? std::cerr : std::cout;
  if (!g.silent)
    sim.SetLogger([&](const sitesim::SiteRequest& r, int status) {
      std::lock_guard<std::mutex> lock(printLock);
      // What a client sent: escaped before it reaches the console.
      log << Printable(r.method) << " " << Printable(r.target) << (r.body.empty() ? "" : " [form body]") << " -> "
          << status << std::endl;
    });
  std::string error;
  if (!sim.Start("127.0.0.1", a.port, a.tls, &error)) {
    std::cerr << "confweba: " << error << std::endl;
    return 1;
  }
  {
    std::lock_guard<std::mutex> lock(printLock);
    if (g.json) {
      json j{{"command", "site"}, {"url", sim.BaseUrl()}, {"siteUrl", sim.SiteUrl()}, {"siteName", data.siteName}};
      json invitations = json::array();
      for (const auto& c : data.conferences) invitations.push_back(sim.InvitationUrl(c.confId));
      j["invitations"] = invitations;
      PrintJson(j);
    } else {
      std::cout << "conference site simulator listening on " << sim.BaseUrl() << std::endl;
      std::cout << "site \"" << data.siteName << "\" at " << sim.SiteUrl() << std::endl;
      for (const auto& c : data.conferences) {
        std::cout << "  conference " << c.confId << " (" << c.state
                  << (c.password.empty() ? "" : ", password \"" + c.password + "\"")
                  << "): " << sim.InvitationUrl(c.confId) << std::endl;
      }
      for (const auto& f : data.files) std::cout << "  file " << sim.BaseUrl() << f.path.substr(1) << std::endl;
      if (!g.silent) std::cout << "press Ctrl-C to stop" << std::endl;
    }
  }
  int sig = 0;
  sigwait(&stopSignals, &sig);
  sim.Stop();
  if (!g.json && !g.silent) std::cout << "stopped" << std::endl;
  return 0;
}

namespace {

// Trusts the certificate of the simulator this process started (made anew
// at each start), so that --tls works with certificates checked.
class CSimulatorTrust {
 public:
  bool Trust(const sitesim::CSiteSimulator& sim, std::string& error) {
    if (QmxConfWebaSetTrustedCertificates(sim.CertificateFile().c_str()) != 0) {
      error = "the module did not take the simulator's certificate";
      return false;
    }
    m_trusted = true;
    return true;
  }
  ~CSimulatorTrust() {
    if (m_trusted) QmxConfWebaSetTrustedCertificates(nullptr);
  }

 private:
  bool m_trusted = false;
};

}  // namespace

int RunDemo(const GlobalArgs& g, const DemoArgs& a) {
  sitesim::CSiteSimulator sim;
  std::string error;
  if (!sim.Start("127.0.0.1", 0, a.tls, &error)) {
    std::cerr << "confweba: " << error << std::endl;
    return 1;
  }
  CSimulatorTrust trust;
  if (a.tls && !trust.Trust(sim, error)) {
    std::cerr << "confweba: cannot trust the simulator's certificate: " << error << std::endl;
    return 1;
  }
  const sitesim::SiteData& data = sim.Data();
  const sitesim::SiteConference& conf = data.conferences.front();
  const sitesim::SiteAccount& account = data.accounts.front();

  std::string outDir = a.out;
  bool removeOut = false;
  if (outDir.empty()) {
    char tmpl[] = "/tmp/confweba-demo-XXXXXX";
    const char* made = mkdtemp(tmpl);
    if (!made) {
      std::cerr << "confweba: cannot make a temporary directory" << std::endl;
      return 1;
    }
    outDir = made;
    removeOut = true;
  }

  CConfWebaHost host;
  if (!OpenHost(host, g, "demo")) return 1;
  const bool text = !g.json;
  if (text) {
    std::cout << "conference site simulator on " << sim.BaseUrl() << " (site \"" << data.siteName << "\")" << std::endl;
  }

  // 1. Join from the invitation address, as a user clicking the e-mail would.
  const std::string invitation = sim.InvitationUrl(conf.confId);
  if (text) {
    std::cout << "\n[1/3] join " << invitation << "\n      as \"Demo Attendee\" <attendee@example.com>, "
              << "conference password \"" << conf.password << "\"" << std::endl;
  }
  const JoinOutcome joined = host.Join(invitation, conf.password, "attendee@example.com", "Demo Attendee", "", "");
  const std::string joinCause = host.Cause();
  if (text) {
    if (joined.result == 0) {
      PrintJoinText(joined);
    } else {
      PrintFailure("join", joined.result, joinCause);
    }
  }

  // 2. Invitations for the same conference, as its host.
  const std::vector<std::string> emails = {"alice@example.com", "bob@example.com"};
  if (text) {
    std::cout << "\n[2/3] invite alice@example.com, bob@example.com to conference " << conf.confId << " as \""
              << account.user << "\"" << std::endl;
  }
  const int invited = host.Invite(sim.SiteUrl(), data.siteName, account.user, account.password, conf.confId, emails);
  const int sent = QmxConfWebaLastInviteCount();
  const std::string inviteCause = host.Cause();
  if (text) {
    if (invited == 0) {
      std::cout << "result: 0" << std::endl << "the site mails:";
      for (const auto& e : sim.Invited()) std::cout << " " << Printable(e);
      std::cout << std::endl;
    } else {
      PrintFailure("invite", invited, inviteCause);
    }
  }

  // 3. The loader, from the address the join gave.
  GetOutcome fetched;
  fetched.result = joined.result != 0 ? joined.result : 0;
  if (joined.result == 0) {
    if (text) {
      std::cout << "\n[3/3] download " << Printable(joined.confDownloadUrl) << "\n      into " << outDir << std::endl;
    }
    fetched = DoGet(host, joined.confDownloadUrl, outDir, "");
    if (text) {
      if (fetched.result == 0) {
        std::cout << "result: 0" << std::endl
                  << "saved " << Printable(fetched.file) << " (" << fetched.bytes << " bytes)" << std::endl;
      } else {
        PrintFailure("download", fetched.result, fetched.cause);
      }
    }
  } else if (text) {
    std::cout << "\n[3/3] download skipped: the join gave no loader address" << std::endl;
  }

  host.Close();
  sim.Stop();
  if (removeOut) {
    std::error_code ec;
    fs::remove_all(outDir, ec);
  }

  const int result = joined.result != 0 ? joined.result : invited != 0 ? invited : fetched.result;
  if (g.json) {
    json steps = json::array({JoinJson(joined, joinCause), InviteJson(invited, sent, inviteCause), GetJson(fetched)});
    PrintJson(json{{"command", "demo"},
                   {"result", result},
                   {"error", ErrorText(result)},
                   {"site", sim.BaseUrl()},
                   {"steps", steps}});
  } else {
    std::cout << "\n"
              << (result == 0 ? "demo finished: joined, invited and downloaded"
                              : "demo failed: " + ErrorText(result) + " (" + std::to_string(result) + ")")
              << (removeOut ? " (the temporary download directory was removed)" : "") << std::endl;
  }
  return ExitCode(result);
}

}  // namespace confweba
