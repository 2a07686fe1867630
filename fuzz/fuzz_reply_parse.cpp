// The site's replies as the module takes them: a pending request of the
// conference object completes with a fuzzed body, the base records it and
// dispatches it by action to the invitation or join parser, which calls the
// host's sink.
//
// Input: one byte picking the action (invitation, join, or an unknown one),
// one byte picking the transport's result, then the reply body.
#include <cstring>

#include "ConfWebaImp.h"
#include "FuzzCommon.h"
#include "qmxframework.h"

namespace {

class Sink : public IConfWebaSink {
 public:
  void OnInviteByEmails(int result) override { ++invites, lastResult = result; }
  void OnJoinConference(int result, const CRtString& url, const CRtString& loaderIni,
                        const CRtString& confTokenIni) override {
    ++joins, lastResult = result;
    joinUrl = url, joinLoader = loaderIni, joinToken = confTokenIni;
  }
  int invites = 0, joins = 0, lastResult = -1;
  CRtString joinUrl, joinLoader, joinToken;
};

// Opens the base's table to the target: it plays the site completing a
// request that the module had sent.
class Module : public CConfWebaImp {
 public:
  DWORD AddPending(int action) {
    HttpRequest* r = new HttpRequest(action, "site1/external/xml/XmlApiInvoker?method=x", nullptr);
    m_requestList.push_back(r);
    return r->hRequest;
  }
  size_t Pending() const { return m_requestList.size(); }
  // A long run must not grow the record file.
  void DropRecord() {
    delete m_resprecord;
    m_resprecord = nullptr;
  }
};

int g_asserts = 0;
// Assertion lines are errors; reply texts (traced as warnings) may say anything.
void CountAsserts(int level, const char* text, void*) {
  if (level == 0 && std::strstr(text, " Assert failed: ")) ++g_asserts;
}

Module* g_module;
Sink g_sink;

bool StartsWith(const CRtString& s, const char* prefix) { return s.compare(0, std::strlen(prefix), prefix) == 0; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("LC_ALL", "C.UTF-8", 1);
  CRtTrace::SetSink(&CountAsserts, nullptr);
  g_module = new Module();
  if (g_module->Initialize(&g_sink) != 0) qmxfuzz::Fail("Initialize");
  g_module->DropRecord();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static const int kActions[] = {WA_ACTION_INVITE_BY_EMAILS, WA_ACTION_JOIN_CONFERENCE, 7};
  static const int kTransport[] = {0, 10001, 10006, 10009, 10015};
  const int action = kActions[data[0] % 3], transport = kTransport[data[1] % 5];
  CRtString body(reinterpret_cast<const char*>(data + 2), size - 2);
  const int invites = g_sink.invites, joins = g_sink.joins;
  g_asserts = 0;
  g_module->OnRequest(g_module->AddPending(action), transport, body);

  QMX_FUZZ_CHECK(g_module->Pending() == 0, "request left in the table");
  QMX_FUZZ_CHECK(g_asserts == 0, "assertion line");
  // One callback of the request's kind (none for an unknown action), with a
  // result the host knows.
  const int r = g_sink.lastResult;
  const bool invite = action == WA_ACTION_INVITE_BY_EMAILS, join = action == WA_ACTION_JOIN_CONFERENCE;
  QMX_FUZZ_CHECK(g_sink.invites == invites + invite && g_sink.joins == joins + join, std::to_string(action));
  if (!invite && !join) return 0;
  QMX_FUZZ_CHECK(r == 0 || r == 4002 || (join && r == 4003) || r == 4010 || (r >= 4020 && r <= 4026),
                 std::to_string(r));
  if (invite) return 0;
  QMX_FUZZ_CHECK(!body.empty() || r == 4003, "empty body");
  // A join that succeeds hands over both files, their "$" keys cut; a
  // refused or empty one hands over nothing.
  if (r == 0) {
    QMX_FUZZ_CHECK(StartsWith(g_sink.joinToken, "[Parlevo]\n") && StartsWith(g_sink.joinLoader, "[qmxloader]\n") &&
                       (g_sink.joinToken + g_sink.joinLoader).find('$') == CRtString::npos,
                   g_sink.joinToken + g_sink.joinLoader);
  } else if (r != 4002) {
    QMX_FUZZ_CHECK(g_sink.joinToken.empty() && g_sink.joinLoader.empty() && g_sink.joinUrl.empty(), std::to_string(r));
  }
  return 0;
}
