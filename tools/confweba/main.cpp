// confweba: a command-line host of the conference module, and the
// conference-site simulator to try it against.
#include <stdio.h>

#include <iostream>

#include <CLI/CLI.hpp>

#include "Commands.h"
#include "TerminalPrompt.h"
#include "qmxframework.h"

namespace {

void TraceToStderr(int level, const char* text, void*) {
  fprintf(stderr, "trace[%d] %s\n", level, text);
}

const int kUsageError = 2;

}  // namespace

int main(int argc, char** argv) {
  using namespace confweba;
  CLI::App app{"confweba: join a conference from an invitation address, have the site mail invitations, "
               "download files, and run the conference-site simulator."};
  app.set_version_flag("--version", std::string("confweba ") + QMX_CONFWEBA_VERSION);
  app.require_subcommand(1);

  GlobalArgs g;
  app.add_flag("--json", g.json, "Print one JSON object on stdout");
  app.add_flag("-v,--verbose", g.verbose, "Write the module's trace to stderr");
  app.add_flag("-q,--quiet", g.quiet, "No progress bar for downloads (drawn only when stdout is a terminal)");

  JoinArgs join;
  CLI::App* joinCmd = app.add_subcommand("join", "Join the conference of an invitation address");
  joinCmd->add_option("INVITATION_URL", join.url, "The address from the invitation e-mail")->required();
  joinCmd->add_option("--conf-pass", join.confPass, "Conference password");
  joinCmd->add_option("--email", join.email, "Your e-mail address");
  joinCmd->add_option("--name", join.name, "The name you join under");
  joinCmd->add_option("--user", join.user, "Your account at the site");
  joinCmd->add_option("--password", join.password, "Your account's password");
  joinCmd->add_option("--out", join.out, "Write conftoken.ini, loader.ini and loaderurl.txt into DIR");
  joinCmd->add_flag("--fetch-loader", join.fetchLoader,
                    "Download the loader into the --out directory (or the current one)");

  InviteArgs invite;
  CLI::App* inviteCmd = app.add_subcommand("invite", "Have the site mail invitations to a conference");
  inviteCmd->add_option("--site-url", invite.siteUrl, "The site's address, e.g. http://host/site1/")->required();
  inviteCmd->add_option("--site-name", invite.siteName, "The site's name")->required();
  inviteCmd->add_option("--conf-id", invite.confId, "The conference number")->required();
  inviteCmd->add_option("--user", invite.user, "Your account at the site");
  inviteCmd->add_option("--password", invite.password, "Your account's password");
  inviteCmd->add_option("EMAIL", invite.emails, "Addresses to invite")->required();

  GetArgs get;
  CLI::App* getCmd = app.add_subcommand("get", "Download a file into a directory");
  getCmd->add_option("URL", get.url, "The file's address")->required();
  getCmd->add_option("DIR", get.dir, "The directory to store it in (made when missing)")->required();
  getCmd->add_option("--name", get.name, "The file name (default: the URL's last segment)");

  SiteArgs site;
  CLI::App* siteCmd = app.add_subcommand("site", "Run the conference-site simulator until Ctrl-C");
  siteCmd->add_option("--port", site.port, "Port on 127.0.0.1 (default: a free one)")
      ->check(CLI::Range(0, 65535));
  siteCmd->add_option("--data", site.data, "The site's data file (JSON; default: the built-in site)");
  siteCmd->add_flag("--tls", site.tls, "Serve HTTPS with a self-signed certificate");
  siteCmd->add_flag("--dump-data", site.dumpData, "Print the data (built-in or --data) as JSON and exit");

  DemoArgs demo;
  CLI::App* demoCmd =
      app.add_subcommand("demo", "Start the simulator and run join, invite and download against it");
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
