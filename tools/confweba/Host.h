// The confweba program as a host of the conference module: it gives its
// thread a framework event queue, takes the module's object, and runs the
// queue until the sink has answered.
#ifndef QMX_CONFWEBA_CLI_HOST_H
#define QMX_CONFWEBA_CLI_HOST_H

#include <functional>
#include <string>
#include <vector>

#include "IConfWeba.h"

class IRtEventQueue;

namespace confweba {

struct JoinOutcome {
  int result = 0;
  std::string confDownloadUrl;
  std::string loaderIni;
  std::string confTokenIni;
};

// One per process, on the main thread. Open before any request, Close at
// the end (it shuts the framework down, which destroys the module's object).
class CConfWebaHost : public IConfWebaSink {
 public:
  CConfWebaHost() {}
  ~CConfWebaHost() { Close(); }

  // Attaches the queue, takes the module's object and initialises it with
  // this sink. A result code, or 0.
  int Open();
  void Close();

  // Each sends the request and runs the queue until its reply arrived.
  JoinOutcome Join(const std::string& emailURL, const std::string& confPass, const std::string& eMail,
                   const std::string& attendeeName, const std::string& userName, const std::string& password);
  int Invite(const std::string& siteURL, const std::string& siteName, const std::string& userName,
             const std::string& password, const std::string& confID, const std::vector<std::string>& emails);
  // Downloads through the asynchronous call and runs the queue until it
  // completes, handing each progress report to progress (bytes so far, the
  // announced length or -1). Ctrl-C (SIGINT) meanwhile cancels it: the
  // result is then QMX_ERR_CANCELLED and no file is left.
  int GetFile(const std::string& url, const std::string& dir, const std::string& name,
              const std::function<void(long long, long long)>& progress = {});

  // The transport's cause of the last failed request (ErrorText.h's
  // LastCause); "" after a success, a request refused before it was sent,
  // or when none is known.
  const std::string& Cause() const { return m_cause; }

  // IConfWebaSink
  void OnInviteByEmails(int result) override;
  void OnJoinConference(int result, const CRtString& confDownloadUrl, const CRtString& loaderIni,
                        const CRtString& confTokenIni) override;

 private:
  CConfWebaHost(const CConfWebaHost&) = delete;
  CConfWebaHost& operator=(const CConfWebaHost&) = delete;
  // Runs the queue until the sink was called.
  void WaitForReply();

  IConfWeba* m_module = nullptr;
  IRtEventQueue* m_queue = nullptr;
  bool m_open = false;
  bool m_replied = false;
  int m_inviteResult = 0;
  JoinOutcome m_join;
  std::string m_cause;
};

}  // namespace confweba

#endif
