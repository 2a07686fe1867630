// confweba: a command-line host of the conference module, and the
// conference-site simulator to try it against.
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <iostream>

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
  app.set_version_flag("--version", std::string("confweba ") + QMX_CONFWEBA_VERSION);
  app.require_subcommand(1);

  GlobalArgs g;
  app.add_flag("--json", g.json, "Print one JSON object on stdout");
  app.add_flag("-v,--verbose", g.verbose, "Write the module's trace to stderr");
  app.add_flag("-q,--quiet", g.quiet, "No progress bar for downloads (drawn only when stdout is a terminal)");
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
  CLI::App* getCmd = app.add_subcommand("get", "Download a file into a directory");
  getCmd->add_option("URL", get.url, "The file's address")->required();
  getCmd->add_option("DIR", get.dir, "The directory to store it in (made when missing)")->required();
  CLI::Option* getName =
      getCmd->add_option("--name", get.name, "A plain file name, no \"/\" (default: the URL's last segment, decoded)");

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
    std::cerr << "confweba: " << e.what() << "\n\n";
    const CLI::App* shown = &app;
    for (const CLI::App* sub : app.get_subcommands()) shown = sub;
    std::cerr << shown->help();
    return kUsageError;
  }

  // Checked before anything is read or sent.
  if (getCmd->parsed() && getName->count() > 0 && !PlainFileName(get.name)) {
    std::cerr << "confweba: --name: \"" << get.name << "\" is not a plain file name (no \"/\", not \"\", "
              << "\".\" or \"..\")\n\n"
              << getCmd->help();
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
