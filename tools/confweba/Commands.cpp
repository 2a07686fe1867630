#include "Commands.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>

#include <nlohmann/json.hpp>

#include "ErrorText.h"
#include "Host.h"
#include "ProgressBar.h"
#include "SiteSimulator.h"
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

void PrintJson(const json& j) {
  std::cout << j.dump(-1, ' ', false, json::error_handler_t::replace) << std::endl;
}

int ExitCode(int result) { return result == 0 ? 0 : 1; }

void PrintFailure(const char* what, int result) {
  std::cerr << "confweba: " << what << " failed: " << ErrorText(result) << " (" << result << ")" << std::endl;
}

// Indents every line of a configuration text for the console.
void PrintIndented(const std::string& text) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::cout << "    " << text.substr(pos, end - pos) << "\n";
    pos = end + 1;
  }
}

bool WriteFile(const fs::path& path, const std::string& bytes, std::string& error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    error = "cannot write " + path.string();
    return false;
  }
  return true;
}

struct GetOutcome {
  int result = 0;
  std::string file;
  uintmax_t bytes = 0;
};

// Downloads through the module into dir (made absolute first) and checks
// that the file is there: the module reports 0 even when it could not write.
// With progress, a progress bar runs on stdout meanwhile.
GetOutcome DoGet(CConfWebaHost& host, const std::string& url, const std::string& dir, const std::string& name,
                 bool progress = false) {
  GetOutcome o;
  std::error_code ec;
  fs::path abs = fs::absolute(dir, ec);
  if (ec) abs = dir;
  std::string absDir = abs.string();
  {
    CProgressBar bar(stdout, progress);
    o.result = host.GetFile(url, absDir, name);
  }
  const std::string fileName = name.empty() ? DownloadFileName(url) : name;
  if (!absDir.empty() && absDir.back() != '/') absDir += '/';
  o.file = absDir + fileName;
  if (o.result == 0) {
    if (fileName.empty() || !fs::is_regular_file(o.file, ec)) {
      o.result = kResultFileNotWritten;
    } else {
      o.bytes = fs::file_size(o.file, ec);
    }
  }
  return o;
}

json JoinJson(const JoinOutcome& o) {
  return json{{"command", "join"},
              {"result", o.result},
              {"error", ErrorText(o.result)},
              {"confDownloadUrl", LocalToUtf8(o.confDownloadUrl)},
              {"loaderIni", LocalToUtf8(o.loaderIni)},
              {"confTokenIni", LocalToUtf8(o.confTokenIni)}};
}

json InviteJson(int result) {
  return json{{"command", "invite"}, {"result", result}, {"error", ErrorText(result)}};
}

json GetJson(const GetOutcome& o) {
  return json{{"command", "get"},
              {"result", o.result},
              {"error", ErrorText(o.result)},
              {"file", LocalToUtf8(o.file)},
              {"bytes", o.bytes}};
}

void PrintJoinText(const JoinOutcome& o) {
  std::cout << "result: 0" << std::endl;
  std::cout << "loader address: " << o.confDownloadUrl << std::endl;
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
  const size_t slash = url.rfind('/');
  return slash == std::string::npos ? std::string("temp.tmp") : url.substr(slash + 1);
}

int RunJoin(const GlobalArgs& g, const JoinArgs& a) {
  CConfWebaHost host;
  if (!OpenHost(host, g, "join")) return 1;
  const JoinOutcome o = host.Join(a.url, a.confPass, a.email, a.name, a.user, a.password);
  json j = JoinJson(o);
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
      if (!WriteFile(dir / out.first, bytes, error)) break;
      files.push_back(LocalToUtf8((dir / out.first).string()));
    }
    j["files"] = files;
    if (!error.empty()) {
      j["outError"] = error;
      std::cerr << "confweba: " << error << std::endl;
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
    PrintFailure("join", o.result);
  } else {
    PrintJoinText(o);
    if (j.contains("files")) {
      for (const auto& f : j["files"]) std::cout << "wrote " << f.get<std::string>() << std::endl;
    }
    if (fetch) {
      if (fetched.result == 0) {
        std::cout << "loader saved: " << fetched.file << " (" << fetched.bytes << " bytes)" << std::endl;
      } else {
        PrintFailure("loader download", fetched.result);
      }
    }
  }
  return exitCode;
}

int RunInvite(const GlobalArgs& g, const InviteArgs& a) {
  CConfWebaHost host;
  if (!OpenHost(host, g, "invite")) return 1;
  const int result = host.Invite(a.siteUrl, a.siteName, a.user, a.password, a.confId, a.emails);
  if (g.json) {
    PrintJson(InviteJson(result));
  } else if (result != 0) {
    PrintFailure("invite", result);
  } else {
    std::cout << "result: 0" << std::endl << "invitations sent to " << a.emails.size() << " address"
              << (a.emails.size() == 1 ? "" : "es") << std::endl;
  }
  return ExitCode(result);
}

int RunGet(const GlobalArgs& g, const GetArgs& a) {
  CConfWebaHost host;
  if (!OpenHost(host, g, "get")) return 1;
  const GetOutcome o = DoGet(host, a.url, a.dir, a.name, CProgressBar::Wanted(g.quiet, g.json));
  if (g.json) {
    PrintJson(GetJson(o));
  } else if (o.result != 0) {
    PrintFailure("get", o.result);
  } else {
    std::cout << "result: 0" << std::endl << "saved " << o.file << " (" << o.bytes << " bytes)" << std::endl;
  }
  return ExitCode(o.result);
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
  sim.SetLogger([&](const sitesim::SiteRequest& r, int status) {
    std::lock_guard<std::mutex> lock(printLock);
    log << r.method << " " << r.target << (r.body.empty() ? "" : " [form body]") << " -> " << status << std::endl;
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
      std::cout << "press Ctrl-C to stop" << std::endl;
    }
  }
  int sig = 0;
  sigwait(&stopSignals, &sig);
  sim.Stop();
  if (!g.json) std::cout << "stopped" << std::endl;
  return 0;
}

int RunDemo(const GlobalArgs& g, const DemoArgs& a) {
  sitesim::CSiteSimulator sim;
  std::string error;
  if (!sim.Start("127.0.0.1", 0, a.tls, &error)) {
    std::cerr << "confweba: " << error << std::endl;
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
    std::cout << "conference site simulator on " << sim.BaseUrl() << " (site \"" << data.siteName << "\")"
              << std::endl;
  }

  // 1. Join from the invitation address, as a user clicking the e-mail would.
  const std::string invitation = sim.InvitationUrl(conf.confId);
  if (text) {
    std::cout << "\n[1/3] join " << invitation << "\n      as \"Demo Attendee\" <attendee@example.com>, "
              << "conference password \"" << conf.password << "\"" << std::endl;
  }
  const JoinOutcome joined = host.Join(invitation, conf.password, "attendee@example.com", "Demo Attendee", "", "");
  if (text) {
    if (joined.result == 0) {
      PrintJoinText(joined);
    } else {
      PrintFailure("join", joined.result);
    }
  }

  // 2. Invitations for the same conference, as its host.
  const std::vector<std::string> emails = {"alice@example.com", "bob@example.com"};
  if (text) {
    std::cout << "\n[2/3] invite alice@example.com, bob@example.com to conference " << conf.confId << " as \""
              << account.user << "\"" << std::endl;
  }
  const int invited = host.Invite(sim.SiteUrl(), data.siteName, account.user, account.password, conf.confId, emails);
  if (text) {
    if (invited == 0) {
      std::cout << "result: 0" << std::endl << "the site mails:";
      for (const auto& e : sim.Invited()) std::cout << " " << e;
      std::cout << std::endl;
    } else {
      PrintFailure("invite", invited);
    }
  }

  // 3. The loader, from the address the join gave.
  GetOutcome fetched;
  fetched.result = joined.result != 0 ? joined.result : 0;
  if (joined.result == 0) {
    if (text) std::cout << "\n[3/3] download " << joined.confDownloadUrl << "\n      into " << outDir << std::endl;
    fetched = DoGet(host, joined.confDownloadUrl, outDir, "");
    if (text) {
      if (fetched.result == 0) {
        std::cout << "result: 0" << std::endl
                  << "saved " << fetched.file << " (" << fetched.bytes << " bytes)" << std::endl;
      } else {
        PrintFailure("download", fetched.result);
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
    json steps = json::array({JoinJson(joined), InviteJson(invited), GetJson(fetched)});
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
