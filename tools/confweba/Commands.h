// The confweba commands. Each returns the process exit code: 0 when the
// result was 0, 1 for any failure.
#ifndef QMX_CONFWEBA_CLI_COMMANDS_H
#define QMX_CONFWEBA_CLI_COMMANDS_H

#include <string>
#include <vector>

namespace confweba {

struct GlobalArgs {
  bool json = false;
  bool verbose = false;
  bool quiet = false;   // no progress bar
  bool silent = false;  // no progress bar, no line that only says it went well
  bool insecure = false;
  std::string caCert;
  double maxTime = 0;         // seconds; 0: no overall limit
  double connectTimeout = 0;  // seconds; 0: the module's default
  bool proxyGiven = false;    // -x/--proxy or --noproxy given
  std::string proxy;          // "": the system's settings
  std::string noProxy;        // hosts reached directly, comma-separated
};

struct JoinArgs {
  std::string url;
  std::string confPass;
  std::string email;
  std::string name;
  std::string user;
  std::string password;
  std::string out;
  bool fetchLoader = false;
};

struct InviteArgs {
  std::string siteUrl;
  std::string siteName;
  std::string confId;
  std::string user;
  std::string password;
  std::vector<std::string> emails;
};

struct GetArgs {
  std::string url;
  std::string dir;  // get URL DIR
  std::string name;
  std::string output;  // get URL -o FILE; "-": stdout
};

struct SiteArgs {
  int port = 0;
  std::string data;
  bool tls = false;
  bool dumpData = false;
};

struct DemoArgs {
  bool tls = false;
  std::string out;
};

int RunJoin(const GlobalArgs& g, const JoinArgs& a);
int RunInvite(const GlobalArgs& g, const InviteArgs& a);
int RunGet(const GlobalArgs& g, const GetArgs& a);
int RunSite(const GlobalArgs& g, const SiteArgs& a);
int RunDemo(const GlobalArgs& g, const DemoArgs& a);

// The file name the module stores a download under when no name is given
// (the module's own rule, QmxConfWebaFileNameFromUrl).
std::string DownloadFileName(const std::string& url);

}  // namespace confweba

#endif
