// The module's single object: the conference requests on top of the web
// access base, the parse of their replies and the file download.
#ifndef QMX_CONFWEBA_CONFWEBAIMP_H
#define QMX_CONFWEBA_CONFWEBAIMP_H

#include <map>

#include "IConfWeba.h"
#include "qmxconfweba_ext.h"
#include "webaccess.h"

class CAsyncDownload;

// Created once by IConfWeba::Instance inside a clean-up holder and destroyed
// at the framework's shutdown; the host never deletes it. Used on the host's
// thread only; every sink call comes from a reply dispatched there.
class CConfWebaImp : public CWebAccessBase, public IConfWeba {
 public:
  CConfWebaImp();
  ~CConfWebaImp() override;

  // CWebAccessBase
  int OnHttpResponse(HttpRequest* aRequest, const CRtString& aContent) override;
  CRtString GetActionFile(int action) override;

  // IConfWeba
  int Initialize(IConfWebaSink* sink) override;
  int InviteByEmails(const CRtString& siteURL, const CRtString& siteName, const CRtString& userName,
                     const CRtString& password, const CRtString& confID,
                     const std::vector<CRtString>& inviteUsers) override;
  int JoinConference(const CRtString& emailURL, const CRtString& confPass, const CRtString& eMail,
                     const CRtString& attendeeName, const CRtString& userName, const CRtString& password) override;
  int GetFileFromURL(const CRtString& url, const CRtString& path, const CRtString& name) override;

  // The asynchronous download (QmxConfWebaStartDownload): the download's id,
  // or 0 when it was refused at once (the diagnosis says why).
  unsigned StartDownload(const CRtString& url, const CRtString& path, const CRtString& name,
                         const QmxDownloadSink& sink);
  // 1 when the download was running and is now cancelled, else 0.
  int CancelDownload(unsigned id);
  // A finished or cancelled download leaves the table.
  void ForgetDownload(unsigned id);
  // Stops every running download without a word to the host (shutdown).
  void AbandonDownloads();

  // Reply handlers: parse, tell the sink, return the outcome.
  int OnInviteByEmails(HttpRequest* aRequest, const CRtString& aContent);
  int OnJoinConference(HttpRequest* aRequest, const CRtString& aContent);
  int ParseInviteByEmails(const CRtString& content, int& result);
  int ParseJoinConference(const CRtString& content, int& result, CRtString& confTokenIni, CRtString& loaderIni,
                          CRtString& confDownloadUrl);

  // What a join or invitation reply's header says.
  enum ReplyCheck {
    REPLY_SUCCESS,  // root and header found, success is "true"
    REPLY_BAD,      // not XML, or no root or header
    REPLY_REFUSED,  // the site refused; its error code comes with it
  };
  // Loads content into parser and checks its root and header, which it
  // hands back. A refusal's error code (blanks stripped) goes to errorCode.
  // A bad reply is traced as a warning under caller's name. The caller
  // closes the parser.
  ReplyCheck CheckReplyHeader(CSimpleParseXml* parser, const CRtString& content, const char* caller,
                              XML_NODE_LIST& root, XML_NODE_LIST& header, CRtString& errorCode);
  // The site error code of a refused call as a result code
  // (QMX_ERR_CONF_NOT_FOUND to QMX_ERR_ACCOUNT_PASSWORD), QMX_ERR_REFUSED for
  // any other text.
  static int SiteErrorToResult(const CRtString& errorCode);
  // The loader's interface language from the user's (or else the system's)
  // language identifier: "zh_CN", "zh_TW", "ja_JP" or "en_US".
  static CRtString GetLanguageTag();
  // The site name of an invitation address: its first path segment, the one
  // that ends the site address (scheme://host/<segment>/...); empty if none.
  static CRtString SiteNameOf(const CRtString& emailURL);
  // The file name GetFileFromURL stores url under when no name is given:
  // the last segment of the address's path, percent-decoded, or "temp.tmp"
  // when that is no plain file name or starts with ".".
  static CRtString FileNameOf(const CRtString& url);
  // True for a name that stays in its folder: not empty, "." or "..", and
  // without "/", "\\" or control characters.
  static bool IsPlainFileName(const CRtString& name);
  // The osName value of the join query: the platform tag of this build.
  static const char* GetPlatformTag();

 private:
  // What GetFileFromURL and StartDownload check before any transfer: the
  // address, the name, the folder (made when missing). 0 with the target's
  // path, or the result the call returns; the diagnosis is set either way.
  int PrepareDownload(const CRtString& url, const CRtString& path, const CRtString& name, CRtString& target);

  IConfWebaSink* m_sink;
  // Running asynchronous downloads by id, each holding one reference.
  std::map<unsigned, CAsyncDownload*> m_downloads;
};

#endif
