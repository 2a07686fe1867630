// The conference web-access module's interface to its host.
//
// A host loads libqmxconfweba.so (by linking it, or with dlopen and a lookup
// of IConfWeba::Instance), gives the thread it calls from a framework event
// queue (QmxThreadAttach in RtHost.h), takes the single object with
// IConfWeba::Instance, hands it an IConfWebaSink with Initialize, and then
// asks it to join a conference, to have invitations mailed, or to download
// a file. Replies to joins and invitations come back on that same thread,
// while the host runs its queue (QmxThreadRun, or QmxThreadPollFd and
// QmxThreadRunPending from its own loop). The object belongs to the module:
// the framework destroys it in QmxFrameworkShutdown.
//
// Texts are byte strings in the local code page. Results are 0 for success
// or a result code; nothing throws.
#ifndef QMX_ICONFWEBA_H
#define QMX_ICONFWEBA_H

#include <vector>

#include "ConfWebaResults.h"
#include "RtString.h"

#define QMX_CONFWEBA_API __attribute__((visibility("default")))
// Inline members stay exported under -fvisibility-inlines-hidden and are
// emitted by every translation unit that includes this header.
#define QMX_CONFWEBA_INLINE __attribute__((visibility("default"), used))

// The host's receiver of results, called on the host's thread.
class QMX_CONFWEBA_API IConfWebaSink {
 public:
  QMX_CONFWEBA_INLINE IConfWebaSink() {}
  QMX_CONFWEBA_INLINE IConfWebaSink(const IConfWebaSink&) {}
  QMX_CONFWEBA_INLINE IConfWebaSink& operator=(const IConfWebaSink&) { return *this; }

  // The outcome of InviteByEmails: 0 when the site accepted the invitation.
  virtual void OnInviteByEmails(int result) = 0;
  // The outcome of JoinConference: 0 with the loader's download address and
  // the two configuration texts ("[Parlevo]" for the conference, "[qmxloader]"
  // for the loader), or a result code.
  virtual void OnJoinConference(int result, const CRtString& confDownloadUrl, const CRtString& loaderIni,
                                const CRtString& confTokenIni) = 0;
};

class QMX_CONFWEBA_API IConfWeba {
 public:
  // The module's single object, created on the first call; null when it
  // could not be created.
  static IConfWeba* Instance();

  QMX_CONFWEBA_INLINE IConfWeba() {}
  QMX_CONFWEBA_INLINE IConfWeba(const IConfWeba&) {}
  QMX_CONFWEBA_INLINE IConfWeba& operator=(const IConfWeba&) { return *this; }

  // Stores the sink (null: results are dropped) and prepares the reply
  // parser and the record file. May be called again to change the sink.
  virtual int Initialize(IConfWebaSink* sink) = 0;
  // Asks the site at siteURL to mail invitations for conference confID to
  // the addresses. 0 when the request is under way; the outcome arrives at
  // IConfWebaSink::OnInviteByEmails.
  virtual int InviteByEmails(const CRtString& siteURL, const CRtString& siteName, const CRtString& userName,
                             const CRtString& password, const CRtString& confID,
                             const std::vector<CRtString>& inviteUsers) = 0;
  // Joins the conference of an invitation address (as mailed by the site,
  // scheme://host/site/...confKey=<number>...). 0 when the request is under
  // way; the outcome arrives at IConfWebaSink::OnJoinConference.
  virtual int JoinConference(const CRtString& emailURL, const CRtString& confPass, const CRtString& eMail,
                             const CRtString& attendeeName, const CRtString& userName, const CRtString& password) = 0;
  // Downloads url (http or https) into directory path (made when missing) as
  // name, or under the last segment of url when name is empty (see
  // QmxConfWebaFileNameFromUrl). Blocks until done. The body goes to a
  // temporary file that replaces the target only when the whole body arrived
  // with a 2xx status: 0 then; QMX_ERR_REFUSED when no whole body came
  // (an HTTP status of 400 or more, a failed or cut transfer, an empty body);
  // QMX_ERR_FILE_NOT_WRITTEN when the file could not be written;
  // QMX_ERR_INVALID_ARG for an address that is not http or https, or
  // a name that is not a plain file name. On failure an existing file of
  // that name is left as it was. Codes: ConfWebaResults.h.
  virtual int GetFileFromURL(const CRtString& url, const CRtString& path, const CRtString& name) = 0;
};

#endif
