// The join request as the host starts it: JoinConference cuts the site
// address and the conference number out of a fuzzed invitation address,
// opens the site, composes the query and sends it, here into the scripted
// WinINet. The object name that reaches HttpOpenRequestA is checked against
// an independent reading of the address (site, conference, no query over
// 1023 bytes), and cancelling the request must close every handle it opened.
//
// Input: the six arguments separated by '\n' (invitation address, conference
// password, e-mail, attendee name, user name, password).
#include <cstring>

#include "ConfWebaImp.h"
#include "FakeWininet.h"
#include "FuzzCommon.h"
#include "qmxframework.h"

namespace {

class Module : public CConfWebaImp {
 public:
  size_t Pending() const { return m_requestList.size(); }
  void DropRecord() {
    delete m_resprecord;
    m_resprecord = nullptr;
  }
};

Module* g_module;

std::string Strip(const std::string& s) {
  const size_t a = s.find_first_not_of(' ');
  if (a == std::string::npos) return s;
  return s.substr(a, s.find_last_not_of(' ') - a + 1);
}

// What %s makes of a text: everything before its first zero byte.
std::string CText(const std::string& s) { return s.substr(0, s.find('\0')); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("LC_ALL", "C.UTF-8", 1);
  if (!QmxThreadAttach()) qmxfuzz::Fail("QmxThreadAttach");
  CHttpClient::Instance();
  g_module = new Module();
  if (g_module->Initialize(nullptr) != 0) qmxfuzz::Fail("Initialize");
  g_module->DropRecord();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  const std::vector<std::string> f = qmxfuzz::Fields(data, size, 6);
  fakeinet::Reset();
  fakeinet::PushReply(fakeinet::Reply());

  const int rt = g_module->JoinConference(f[0], f[1], f[2], f[3], f[4], f[5]);

  // An independent reading of the invitation address: scheme://host/segment/
  // is the site, the conference number follows "confKey=".
  const std::string url = Strip(f[0]);
  const size_t p1 = url.find("//");
  const size_t p2 = p1 == std::string::npos ? p1 : url.find('/', p1 + 2);
  const size_t p3 = p2 == std::string::npos ? p2 : url.find('/', p2 + 1);
  const size_t k = p3 == std::string::npos ? p3 : url.find("confKey=");
  const std::vector<fakeinet::Send> sends = fakeinet::Seen().sends;
  if (k == std::string::npos) {
    QMX_FUZZ_CHECK(rt == 10008 && sends.empty(), "an address without site or conference: " + std::to_string(rt));
  } else {
    // The query's values are encoded (their rules are the encoder's own
    // target); its fixed parts and the address's parts are checked here.
    QMX_FUZZ_CHECK((rt == 0 || rt == 10006 || rt == 10008) && sends.size() == (rt == 0 ? 1u : 0u), std::to_string(rt));
  }
  if (rt == 0) {
    const std::string siteURL = url.substr(0, p3 + 1), segment = url.substr(p2 + 1, p3 - p2 - 1);
    const size_t amp = url.find('&', k + 8);
    const std::string confID = url.substr(k + 8, amp == std::string::npos ? amp : amp - k - 8);
    // The base path is what follows scheme://host/ in the site address.
    const std::string head =
        CText(siteURL.substr(p2 + 1) + "external/xml/XmlApiInvoker?method=JoinMeeting&site=" + segment +
              "&confId=" + confID + "&confPass=");
    const std::string& object = sends[0].object;
    QMX_FUZZ_CHECK(sends[0].verb == "GET" && object.compare(0, head.size(), head) == 0, object + " !^ " + head);
    QMX_FUZZ_CHECK(object.size() <= siteURL.size() - p2 - 1 + 1023, "a query longer than 1023 bytes was sent");
    // Unless the address held a zero byte (where %s stops), the query is whole.
    const std::string tail = "&osName=" + std::string(CConfWebaImp::GetPlatformTag());
    QMX_FUZZ_CHECK(
        (siteURL + confID).find('\0') != std::string::npos ||
            (object.size() >= tail.size() && object.compare(object.size() - tail.size(), tail.size(), tail) == 0),
        object);
    QMX_FUZZ_CHECK(g_module->Pending() == 1, "request not in the table");
  }

  g_module->CancelAllRequests();
  QmxThreadRunPending();
  QMX_FUZZ_CHECK(g_module->Pending() == 0, "table not emptied");
  QMX_FUZZ_CHECK(fakeinet::Seen().openHandles == 0, "handles left open");
  return 0;
}
