// confweba: a command-line host of the conference module, and the
// conference-site simulator to try it against.
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <vector>

#include <CLI/CLI.hpp>

#include "Commands.h"
#include "Printable.h"
#include "TerminalPrompt.h"
#include "qmxconfweba_ext.h"
#include "qmxframework.h"

namespace {

// Trace lines carry texts of the network (reply bodies, values): escaped.
void TraceToStderr(int level, const char* text, void*) {
  fprintf(stderr, "trace[%d] %s\n", level, confweba::Printable(text).c_str());
}

const int kUsageError = 2;

// Seconds with decimals allowed (2.5), more than 0, and within
// what the module's millisecond limits can hold.
const CLI::Validator kSeconds(
    [](std::string& text) -> std::string {
      char* end = nullptr;
      errno = 0;
      const double s = strtod(text.c_str(), &end);
      if (text.empty() || *end != 0 || errno != 0 || !isfinite(s) || s <= 0 || s > 4294967.0) {
        return "must be a number of seconds greater than 0, e.g. 2.5";
      }
      return "";
    },
    "SECONDS");

unsigned int Milliseconds(double seconds) {
  if (seconds <= 0) return 0;  // not given: the module's default
  return static_cast<unsigned int>(ceil(seconds * 1000));
}

// Fills a password option: "-" reads it (terminal without echo, or a line
// of stdin); absent, the environment variable is used when set.
bool ResolveSecret(std::string& value, const CLI::Option* option, const char* env, const char* prompt) {
  if (option->count() == 0) {
    if (const char* fromEnv = getenv(env)) value = fromEnv;
    return true;
  }
  if (value != "-") return true;
  if (confweba::ReadSecret(prompt, value)) return true;
  std::cerr << "confweba: " << option->get_name() << " -: stdin ended before a line" << std::endl;
  return false;
}

// True when the file can be opened and read (a directory cannot).
bool Readable(const std::string& path, std::string& why) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  char c;
  if (fd < 0 || read(fd, &c, 1) < 0) {
    why = strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  close(fd);
  return true;
}

// A name for a file in a folder the user chose: no path, nothing that
// names the folder itself or its parent.
bool PlainFileName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// The edit distance of two words, a swap of neighbours counting as one
// edit: "jion" is one from "join".
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

// The command a mistyped one was most likely meant to be: two edits away at
// most, or one it begins; "" when none is that close.
std::string ClosestCommand(const std::string& word, const std::vector<std::string>& commands) {
  std::string best;
  size_t bestDistance = 3;
  for (const std::string& c : commands) {
    const size_t d = c.compare(0, word.size(), word) == 0 && !word.empty() ? 1 : EditDistance(word, c);
    if (d < bestDistance && d < c.size()) {
      best = c;
      bestDistance = d;
    }
  }
  return best;
}

// Says what was wrong with the command line, with the usage of the command
// it was for. A word where a command belongs is named as such, with a hint
// when it is close to one; an unknown option before any command gets the
// parser's own complaint about it rather than "a subcommand is required".
int ReportParseError(const CLI::App& app, const CLI::ParseError& e) {
  std::vector<std::string> commands;
  for (const CLI::App* sub : app.get_subcommands({})) commands.push_back(sub->get_name());
  const CLI::App* shown = &app;
  for (const CLI::App* sub : app.get_subcommands()) shown = sub;
  std::string message = e.what();
  if (shown == &app) {
    const std::vector<std::string> rest = app.remaining();
    for (const std::string& word : rest) {
      if (word.empty() || word[0] == '-') continue;
      std::cerr << "confweba: unknown command '" << word << "'\n";
      const std::string hint = ClosestCommand(word, commands);
      if (!hint.empty()) std::cerr << "confweba: did you mean '" << hint << "'?\n";
      std::cerr << "Run 'confweba --help' for the commands." << std::endl;
      return kUsageError;
    }
    if (!rest.empty()) message = CLI::ExtrasError(rest).what();
  }
  std::cerr << "confweba: " << message << "\n\n";
  std::cerr << (shown == &app ? app.help() : shown->help(app.get_name()));
  return kUsageError;
}

// The transport settings of the global options, for every later request.
// 0, or kUsageError after saying why.
int ApplyTransportOptions(const confweba::GlobalArgs& g) {
  if (g.insecure) {
    QmxConfWebaSetRelaxedTls(1);
    std::cerr << "confweba: warning: --insecure: HTTPS certificates are not checked" << std::endl;
  }
  if (!g.caCert.empty()) {
    std::string why;
    if (!Readable(g.caCert, why)) {
      std::cerr << "confweba: --cacert " << g.caCert << ": cannot read it: " << why << std::endl;
      return kUsageError;
    }
    if (QmxConfWebaSetTrustedCertificates(g.caCert.c_str()) != 0) {
      std::cerr << "confweba: --cacert " << g.caCert << ": no PEM certificates could be read from it" << std::endl;
      return kUsageError;
    }
  }
  if (!g.noProxy.empty() && g.proxy.empty()) {
    // The module keeps a direct-host list only beside a proxy of the host's;
    // the system's settings have their own (no_proxy).
    std::cerr << "confweba: --noproxy needs --proxy; for the system's proxy, set no_proxy instead" << std::endl;
    return kUsageError;
  }
  if (g.proxyGiven) {
    // Tried alone first, so that a refusal names the value at fault.
    const char* proxy = g.proxy.empty() ? nullptr : g.proxy.c_str();
    if (QmxConfWebaSetProxy(proxy, nullptr) != 0) {
      std::cerr << "confweba: --proxy " << g.proxy
                << ": not a proxy address (host:port, http://host:port or socks5://host:port)" << std::endl;
      return kUsageError;
    }
    if (QmxConfWebaSetProxy(proxy, g.noProxy.c_str()) != 0) {
      std::cerr << "confweba: --noproxy " << g.noProxy
                << ": not a list of hosts (example.com,.example.org,10.0.0.0/8 or *)" << std::endl;
      return kUsageError;
    }
  }
  if (g.maxTime > 0 || g.connectTimeout > 0) {
    QmxConfWebaTimeouts t = {};
    t.connectMs = Milliseconds(g.connectTimeout);
    t.totalMs = Milliseconds(g.maxTime);
    QmxConfWebaSetTimeouts(&t);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace confweba;
  CLI::App app{
      "confweba: join a conference from an invitation address, have the site mail invitations, "
      "download files, and run the conference-site simulator."};
  app.name("confweba");  // in usage lines, whatever path started it
  app.set_version_flag("--version", std::string("confweba ") + QMX_CONFWEBA_VERSION);
  app.require_subcommand(1);

  GlobalArgs g;
  app.add_flag("--json", g.json, "Print one JSON object on stdout");
  app.add_flag("-v,--verbose", g.verbose, "Write the module's trace to stderr");
  app.add_flag("-q,--quiet", g.quiet, "No progress bar for downloads (drawn on stderr, only when it is a terminal)");
  app.add_flag("-s,--silent", g.silent,
               "No progress bar and no line that only says a request went well; errors still go to stderr");
  CLI::Option* proxyOption =
      app.add_option("-x,--proxy", g.proxy,
                     "Send every request through this proxy: host:port, http://host:port or socks5://host:port "
                     "(default: the system's settings, http_proxy and the like)")
          ->option_text("URL");
  CLI::Option* noProxyOption =
      app.add_option("--noproxy", g.noProxy,
                     "Reach these hosts directly, past the --proxy: a comma-separated list of names (with the names "
                     "under them), "
                     "IPv4 networks (10.0.0.0/8) or * for all")
          ->option_text("LIST");
  app.add_flag("--insecure", g.insecure,
               "Do not check HTTPS certificates (name, issuer, dates; HTTPS-to-HTTP redirects allowed): "
               "for a test site only");
  app.add_option("--cacert", g.caCert, "Also trust the certificate authorities in this PEM file")->option_text("FILE");
  app.add_option("--max-time", g.maxTime, "Give up on a request after SECONDS in all (decimals allowed)")
      ->check(kSeconds);
  app.add_option("--connect-timeout", g.connectTimeout, "Give up connecting after SECONDS (decimals allowed)")
      ->check(kSeconds);

  JoinArgs join;
  CLI::App* joinCmd = app.add_subcommand("join", "Join the conference of an invitation address");
  joinCmd->add_option("INVITATION_URL", join.url, "The address from the invitation e-mail")->required();
  CLI::Option* joinConfPass =
      joinCmd->add_option("--conf-pass", join.confPass,
                          "Conference password; \"-\" asks for it on the terminal (no echo) or reads a line of stdin; "
                          "default: $QMX_CONF_PASS");
  joinCmd->add_option("--email", join.email, "Your e-mail address");
  joinCmd->add_option("--name", join.name, "The name you join under");
  joinCmd->add_option("--user", join.user, "Your account at the site");
  CLI::Option* joinPassword =
      joinCmd->add_option("--password", join.password,
                          "Your account's password; \"-\" asks for it (no echo) or reads a line of stdin (after the "
                          "conference password's); default: $QMX_PASSWORD");
  joinCmd->add_option("--out", join.out, "Write conftoken.ini, loader.ini and loaderurl.txt into DIR");
  joinCmd->add_flag("--fetch-loader", join.fetchLoader,
                    "Download the loader into the --out directory (or the current one)");

  InviteArgs invite;
  CLI::App* inviteCmd = app.add_subcommand("invite", "Have the site mail invitations to a conference");
  inviteCmd->add_option("--site-url", invite.siteUrl, "The site's address, e.g. http://host/site1/")->required();
  inviteCmd->add_option("--site-name", invite.siteName, "The site's name")->required();
  inviteCmd->add_option("--conf-id", invite.confId, "The conference number")->required();
  inviteCmd->add_option("--user", invite.user, "Your account at the site");
  CLI::Option* invitePassword = inviteCmd->add_option(
      "--password", invite.password,
      "Your account's password; \"-\" asks for it on the terminal (no echo) or reads a line of stdin; "
      "default: $QMX_PASSWORD");
  inviteCmd->add_option("EMAIL", invite.emails, "Addresses to invite")->required();

  GetArgs get;
  CLI::App* getCmd = app.add_subcommand("get", "Download a file into a directory, or to a file or stdout (-o)");
  getCmd->add_option("URL", get.url, "The file's address")->required();
  CLI::Option* getDir = getCmd->add_option("DIR", get.dir, "The directory to store it in (made when missing)");
  CLI::Option* getName =
      getCmd->add_option("--name", get.name, "A plain file name, no \"/\" (default: the URL's last segment, decoded)");
  CLI::Option* getOutput =
      getCmd
          ->add_option("-o,--output", get.output,
                       "Write it to FILE instead (\"-\": stdout), only once the whole file has arrived")
          ->option_text("FILE");
  getOutput->excludes(getDir)->excludes(getName);

  SiteArgs site;
  CLI::App* siteCmd = app.add_subcommand("site", "Run the conference-site simulator until Ctrl-C");
  siteCmd->add_option("--port", site.port, "Port on 127.0.0.1 (default: a free one)")->check(CLI::Range(0, 65535));
  siteCmd->add_option("--data", site.data, "The site's data file (JSON; default: the built-in site)");
  siteCmd->add_flag("--tls", site.tls, "Serve HTTPS with a self-signed certificate");
  siteCmd->add_flag("--dump-data", site.dumpData, "Print the data (built-in or --data) as JSON and exit");

  DemoArgs demo;
  CLI::App* demoCmd = app.add_subcommand("demo", "Start the simulator and run join, invite and download against it");
  demoCmd->add_flag("--tls", demo.tls, "Run everything over HTTPS");
  demoCmd->add_option("--out", demo.out, "Keep the downloaded loader in DIR (default: a temporary directory)");

  // Global options may also follow the command.
  for (CLI::App* sub : {joinCmd, inviteCmd, getCmd, siteCmd, demoCmd}) sub->fallthrough();

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return ReportParseError(app, e);
  }
  g.proxyGiven = proxyOption->count() > 0 || noProxyOption->count() > 0;
  if (g.silent) g.quiet = true;

  // Checked before anything is read or sent.
  if (getCmd->parsed() && getName->count() > 0 && !PlainFileName(get.name)) {
    std::cerr << "confweba: --name: \"" << get.name << "\" is not a plain file name (no \"/\", not \"\", "
              << "\".\" or \"..\")\n\n"
              << getCmd->help(app.get_name());
    return kUsageError;
  }
  if (getCmd->parsed() && getDir->count() == 0 && getOutput->count() == 0) {
    std::cerr << "confweba: get needs a directory (DIR) or -o FILE\n\n" << getCmd->help(app.get_name());
    return kUsageError;
  }
  if (getCmd->parsed() && g.json && get.output == "-") {
    std::cerr << "confweba: --json and -o - cannot both write to stdout\n";
    return kUsageError;
  }
  if (joinCmd->parsed() && (!ResolveSecret(join.confPass, joinConfPass, "QMX_CONF_PASS", "Conference password") ||
                            !ResolveSecret(join.password, joinPassword, "QMX_PASSWORD", "Password"))) {
    return kUsageError;
  }
  if (inviteCmd->parsed() && !ResolveSecret(invite.password, invitePassword, "QMX_PASSWORD", "Password")) {
    return kUsageError;
  }
  if (const int rt = ApplyTransportOptions(g)) return rt;

  if (g.verbose) {
    CRtTrace::SetLevel(RT_TRACE_LEVEL_INFO);
    CRtTrace::SetSink(TraceToStderr, nullptr);
  }
  InstallTerminalPrompt();

  if (joinCmd->parsed()) return RunJoin(g, join);
  if (inviteCmd->parsed()) return RunInvite(g, invite);
  if (getCmd->parsed()) return RunGet(g, get);
  if (siteCmd->parsed()) return RunSite(g, site);
  if (demoCmd->parsed()) return RunDemo(g, demo);
  return kUsageError;
}
