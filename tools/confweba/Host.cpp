#include "Host.h"

#include <signal.h>

#include "qmxconfweba_ext.h"

#include "ErrorText.h"
#include "qmxframework.h"

namespace confweba {

int CConfWebaHost::Open() {
  if (m_open) return 0;
  IRtEventQueue* queue = QmxThreadAttach();
  if (!queue) return QMX_ERR_WRONG_STATUS;
  m_queue = queue;
  m_open = true;
  m_module = IConfWeba::Instance();
  if (!m_module) return QMX_ERR_OUT_OF_MEMORY;
  return m_module->Initialize(this);
}

void CConfWebaHost::Close() {
  if (!m_open) return;
  QmxFrameworkShutdown();
  QmxThreadDetach();
  m_module = nullptr;
  m_queue = nullptr;
  m_open = false;
}

void CConfWebaHost::WaitForReply() {
  // The module's own time-out sweep ends a request that hangs, so this
  // returns; QmxQueueStop from the sink ends each run at once.
  while (!m_replied) {
    if (QmxThreadRun(1000) < 0) break;
  }
}

JoinOutcome CConfWebaHost::Join(const std::string& emailURL, const std::string& confPass, const std::string& eMail,
                                const std::string& attendeeName, const std::string& userName,
                                const std::string& password) {
  m_replied = false;
  m_join = JoinOutcome();
  m_cause.clear();
  const int rt = m_module->JoinConference(emailURL, confPass, eMail, attendeeName, userName, password);
  if (rt != 0) {
    JoinOutcome failed;
    failed.result = rt;
    return failed;
  }
  WaitForReply();
  if (!m_replied) m_join.result = QMX_ERR_WRONG_STATUS;
  if (m_join.result != 0) m_cause = LastCause();
  return m_join;
}

int CConfWebaHost::Invite(const std::string& siteURL, const std::string& siteName, const std::string& userName,
                          const std::string& password, const std::string& confID,
                          const std::vector<std::string>& emails) {
  m_replied = false;
  m_inviteResult = 0;
  m_cause.clear();
  const int rt = m_module->InviteByEmails(siteURL, siteName, userName, password, confID, emails);
  if (rt != 0) return rt;
  WaitForReply();
  const int result = m_replied ? m_inviteResult : QMX_ERR_WRONG_STATUS;
  if (result != 0) m_cause = LastCause();
  return result;
}

namespace {

volatile sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) { g_interrupted = 1; }

struct DownloadState {
  IRtEventQueue* queue;
  const std::function<void(long long, long long)>* progress;
  bool done = false;
  int result = 0;
};

}  // namespace

int CConfWebaHost::GetFile(const std::string& url, const std::string& dir, const std::string& name,
                           const std::function<void(long long, long long)>& progress) {
  DownloadState state{m_queue, &progress};
  const QmxDownloadSink sink = {&state,
                                [](void* p, unsigned, long long received, long long total) {
                                  auto* s = static_cast<DownloadState*>(p);
                                  if (*s->progress) (*s->progress)(received, total);
                                },
                                [](void* p, unsigned, int result, const char*) {
                                  auto* s = static_cast<DownloadState*>(p);
                                  s->done = true;
                                  s->result = result;
                                  QmxQueueStop(s->queue);
                                }};
  m_cause.clear();
  const unsigned id = QmxConfWebaStartDownload(url.c_str(), dir.c_str(), name.c_str(), &sink);
  if (id == 0) {
    // Refused before anything was sent: a folder that cannot be written, or
    // an unusable address or name.
    QmxConfWebaDiagnosis d;
    QmxConfWebaGetLastDiagnosis(&d);
    if (d.systemError == 0) return QMX_ERR_INVALID_ARG;
    m_cause = LastCause();
    return QMX_ERR_FILE_NOT_WRITTEN;
  }
  // Ctrl-C interrupts the queue's wait; the loop then cancels the download
  // and runs on until its completion.
  struct sigaction interrupt {
  }, previous{};
  interrupt.sa_handler = &OnInterrupt;
  sigemptyset(&interrupt.sa_mask);
  g_interrupted = 0;
  sigaction(SIGINT, &interrupt, &previous);
  while (!state.done) {
    if (g_interrupted) {
      g_interrupted = 0;
      QmxConfWebaCancelDownload(id);
    }
    if (QmxThreadRun(100) < 0) break;
  }
  sigaction(SIGINT, &previous, nullptr);
  if (!state.done) return QMX_ERR_WRONG_STATUS;
  if (state.result != 0 && state.result != QMX_ERR_CANCELLED) m_cause = LastCause();
  return state.result;
}

void CConfWebaHost::OnInviteByEmails(int result) {
  m_inviteResult = result;
  m_replied = true;
  QmxQueueStop(m_queue);
}

void CConfWebaHost::OnJoinConference(int result, const CRtString& confDownloadUrl, const CRtString& loaderIni,
                                     const CRtString& confTokenIni) {
  m_join.result = result;
  m_join.confDownloadUrl = confDownloadUrl;
  m_join.loaderIni = loaderIni;
  m_join.confTokenIni = confTokenIni;
  m_replied = true;
  QmxQueueStop(m_queue);
}

}  // namespace confweba
