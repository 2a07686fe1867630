// The conference-site simulator: a small HTTP and HTTPS server that speaks
// the site's XML interface the way the conference module uses it, serves
// files for download, and records every request it receives. Used in-process
// by the confweba host (the `site` and `demo` commands) and by the tests.
//
// What it answers, under the site's path "/<siteName>/":
//   GET  .../external/xml/XmlApiInvoker?method=JoinMeeting&...      join reply
//   POST .../external/xml/XmlApiInvoker  body "method=inviteAttendeeByMail&..."
//   GET  <file path>                                                the file
// Conferences, accounts, loader settings and files come from SiteData (a
// JSON file or the built-in default). Fault modes make it misbehave on
// purpose for tests: delays, stalls, cut bodies, bad XML, chosen statuses,
// 401/407 challenges and chunked replies.
#ifndef QMX_SITESIM_SITESIMULATOR_H
#define QMX_SITESIM_SITESIMULATOR_H

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sitesim {

// One key=value line of a reply's entry list.
struct SiteEntry {
  std::string key;
  std::string value;
};

struct SiteConference {
  std::string confId;
  std::string password;        // empty: any conference password is accepted
  std::string state = "open";  // open, notStarted, ended or locked
  // When set, every join of this conference is refused with this error code
  // text, sent as it is (blanks and case included), and errorMessage.
  std::string errorCode;
  std::string errorMessage;
  std::vector<SiteEntry> confToken;
  // The loader's settings. "{base}" in a value becomes the simulator's base
  // address (scheme, 127.0.0.1 and port, ending in "/").
  std::vector<SiteEntry> downLoad;
};

struct SiteAccount {
  std::string user;
  std::string password;
};

struct SiteFile {
  std::string path;     // absolute URL path, e.g. "/files/qmxloader.bin"
  std::string content;  // the bytes served, repeated `repeat` times
  int repeat = 1;
};

// What a request should suffer. Applies to requests whose path begins with
// pathPrefix ("" for all), `times` times (-1: until cleared).
struct SiteFault {
  enum Kind {
    kNone,
    kDelay,         // answer normally after delayMs
    kStall,         // never answer until ReleaseStall() or Stop()
    kDropMidBody,   // announce the whole length, send half, close
    kMalformedXml,  // a cut XML document, status 200
    kEmptyBody,     // status 200 and no body
    kRawBody,       // status 200 and `body` as the reply
    kStatus,        // status `status` with `body`
    kChallenge401,  // 401 + WWW-Authenticate until Basic user:password is sent
    kChallenge407,  // 407 + Proxy-Authenticate until Proxy-Authorization is sent
    kChunked,       // the normal reply, in chunked transfer encoding
  };
  Kind kind = kNone;
  int delayMs = 0;
  int status = 500;
  std::string body;
  std::string user;
  std::string password;
  std::string pathPrefix;
  int times = -1;
};

struct SiteData {
  std::string siteName = "site1";
  // Accounts for joins with a user name and for invitations. With none, any
  // user is accepted.
  std::vector<SiteAccount> accounts;
  std::vector<SiteConference> conferences;
  std::vector<SiteFile> files;
  SiteFault fault;  // in effect from start

  // The built-in site: "site1" with conference 123456 (password "meet"),
  // conferences that have not started, have ended or are locked, the account
  // host/secret and the loader file.
  static SiteData Default();
  // Reads the JSON form (see docs/simulator.md). Missing members keep their
  // defaults of an empty site; false with a message on a bad document.
  static bool FromJson(const std::string& text, SiteData& out, std::string& error);
  static bool LoadFile(const std::string& path, SiteData& out, std::string& error);
  // The JSON form of this data, indented; FromJson reads it back.
  std::string ToJson() const;
};

// One request as it arrived.
struct SiteRequest {
  std::string method;
  std::string path;    // without the query
  std::string target;  // path and query as sent
  std::string query;   // the raw query text after "?" (may be empty)
  std::string body;    // raw body bytes, trailing zero byte included
  std::multimap<std::string, std::string> headers;
  // Decoded fields of the XML interface call: from the query for a GET, from
  // the form body (without its trailing zero byte) for a POST.
  std::map<std::string, std::string> fields;
  // Undecoded field texts, for checking what went over the wire exactly.
  std::map<std::string, std::string> rawFields;
  std::string HeaderValue(const std::string& name) const;
};

// Status line of one answered request, for a console log.
using SiteLogger = std::function<void(const SiteRequest& request, int status)>;

class CSiteSimulator {
 public:
  explicit CSiteSimulator(SiteData data = SiteData::Default());
  ~CSiteSimulator();  // stops

  // Listens on host:port (0: a free port), TLS with a self-signed certificate
  // made at start when tls is set. False with a message when it cannot.
  bool Start(const std::string& host = "127.0.0.1", int port = 0, bool tls = false, std::string* error = nullptr);
  // Releases stalled requests, stops listening and joins the server thread.
  void Stop();

  int Port() const { return m_port; }
  bool IsTls() const { return m_tls; }
  // With TLS: a PEM file of the server's certificate, for a client to trust
  // (written at start, removed at stop); "" without TLS.
  std::string CertificateFile() const { return m_certFile; }
  // "http://127.0.0.1:<port>/" (https with TLS).
  std::string BaseUrl() const;
  // BaseUrl() + siteName + "/".
  std::string SiteUrl() const;
  // An invitation address as the site mails it:
  // SiteUrl() + "join.do?confKey=<confId>&lang=en".
  std::string InvitationUrl(const std::string& confId) const;
  const SiteData& Data() const { return m_data; }

  void SetFault(const SiteFault& fault);
  void ClearFault() { SetFault(SiteFault()); }
  // Lets stalled requests go on (they are then answered normally).
  void ReleaseStall();

  std::vector<SiteRequest> Received() const;
  void ClearReceived();
  // The addresses of every accepted invitation, in arrival order.
  std::vector<std::string> Invited() const;

  void SetLogger(SiteLogger logger);

 private:
  CSiteSimulator(const CSiteSimulator&) = delete;
  CSiteSimulator& operator=(const CSiteSimulator&) = delete;
  struct Server;

  // Takes the fault that applies to a request, counting it down.
  SiteFault TakeFault(const std::string& path);
  // Waits up to ms (or forever when ms < 0) unless released or stopping;
  // true when the wait ended by release or stop.
  bool Wait(int ms, bool stall);

  SiteData m_data;
  std::unique_ptr<Server> m_server;
  std::thread m_thread;
  int m_port = 0;
  bool m_tls = false;
  std::string m_certFile;

  mutable std::mutex m_mutex;
  std::condition_variable m_cond;
  bool m_stopping = false;
  unsigned m_stallGeneration = 0;
  SiteFault m_fault;
  std::vector<SiteRequest> m_received;
  std::vector<std::string> m_invited;
  SiteLogger m_logger;

  friend struct SiteHandlers;
};

// The reply texts, exposed for tests of the module's parser.
std::string XmlEscape(const std::string& text);
std::string JoinSuccessXml(const std::vector<SiteEntry>& confToken, const std::vector<SiteEntry>& downLoad);
std::string FailureXml(const std::string& errorCode, const std::string& errorMessage);
std::string SuccessXml();

// Percent-decoding of one form field ("+" is a blank).
std::string FormDecode(const std::string& text);

}  // namespace sitesim

#endif
