#include "ConfWebaImp.h"

#include <stdio.h>
#include <string.h>

#include <atomic>
#include <new>

#include "TransportSettings.h"
#include "qmxcrt.h"

namespace {

// Parser handles: the document, and "every node of the list".
const XML_NODE_LIST kXmlDocument = {0, 0, 0};
const unsigned int kAllNodes = 0xFFFFFFFFu;

const size_t kJoinQuerySize = 1024;
const size_t kInviteQuerySize = 4096;
// The share of the invitation query the address list may take.
const int kInviteListBudget = 2048;

// Copy without leading and trailing blanks (0x20 only); a text of blanks
// only stays as it is.
CRtString StripBlanks(const CRtString& text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == CRtString::npos) return text;
  const size_t last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1);
}

// True when text holds a byte below 0x20 or 0x7F: a line break in a key or
// value of the configuration texts would add lines or sections of the site's
// choosing, an escape would reach the user's terminal.
bool HasControlChar(const char* text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); p && *p; ++p) {
    if (*p < 0x20 || *p == 0x7F) return true;
  }
  return false;
}

void RemoveDollars(CRtString& text) {
  for (size_t p = text.find('$'); p != CRtString::npos; p = text.find('$', p)) text.erase(p, 1);
}

// Local code page to UTF-8, then form encoding.
CRtString EncodeValue(const CRtString& text) {
  return CHttpClient::Instance()->UrlEncode(CWebAccessBase::AnsiToUtf8(text));
}

class CConfWebaHolder;

// Set until the first Instance call has made the HTTP client.
std::atomic<bool> g_firstInstance(true);
std::atomic<CConfWebaHolder*> g_holder(nullptr);

// The single object, destroyed by the framework at its shutdown (CleanUp).
class CConfWebaHolder : public CRtCleanUpBase {
 public:
  CConfWebaHolder() {}
  ~CConfWebaHolder() override {
    // The framework is shutting down and the owner thread's queue goes with
    // it: a later Instance makes a new object rather than using a dead one,
    // and the HTTP client binds again to the queue of the next owner thread.
    CConfWebaHolder* self = this;
    g_holder.compare_exchange_strong(self, nullptr);
    CHttpClient::Instance()->Destory();
  }
  CConfWebaImp m_imp;
};

CConfWebaImp* GetConfWebaImp() {
  CConfWebaHolder* holder = g_holder.load();
  if (holder) return &holder->m_imp;

  CRtMutexThreadRecursive* mutex = nullptr;
  CRtThreadManager* manager = CRtThreadManager::Instance();
  if (manager) manager->GetSingletonMutex(mutex);
  if (!mutex) return nullptr;
  const bool locked = mutex->Lock() == 0;
  holder = g_holder.load();
  if (!holder) {
    holder = new (std::nothrow) CConfWebaHolder();
    g_holder.store(holder);
  }
  if (locked) mutex->UnLock();
  return holder ? &holder->m_imp : nullptr;
}

}  // namespace

IConfWeba* IConfWeba::Instance() {
  if (g_firstInstance.exchange(false)) CHttpClient::Instance();
  CConfWebaImp* imp = GetConfWebaImp();
  return imp ? static_cast<IConfWeba*>(imp) : nullptr;
}

CConfWebaImp::CConfWebaImp() : m_sink(nullptr) { RT_INFO_TRACE_THIS("CConfWebaImp::CConfWebaImp"); }

CConfWebaImp::~CConfWebaImp() {
  m_sink = nullptr;
  AbandonDownloads();
  RT_INFO_TRACE_THIS("CConfWebaImp::~CConfWebaImp");
}

int CConfWebaImp::Initialize(IConfWebaSink* sink) {
  m_sink = sink;
  const int rt = Init();
  if (rt != 0) {
    RT_ERROR_TRACE_THIS("CConfWebaImp::Initialize, Init failed. rt=" << rt);
    return rt;
  }
  return 0;
}

const char* CConfWebaImp::GetPlatformTag() {
  // Linux has no Windows version to report; the tag tells the site whether
  // this is a 64-bit or a 32-bit build.
  return sizeof(void*) == 8 ? "vista64" : "vista32";
}

CRtString CConfWebaImp::SiteNameOf(const CRtString& emailURL) {
  const size_t segmentEnd = FirstSegmentEnd(emailURL);
  if (segmentEnd == CRtString::npos) return CRtString();
  const size_t hostEnd = HostEnd(emailURL);
  return emailURL.substr(hostEnd + 1, segmentEnd - hostEnd - 1);
}

int CConfWebaImp::JoinConference(const CRtString& emailURL_, const CRtString& confPass_, const CRtString& eMail_,
                                 const CRtString& attendeeName_, const CRtString& userName_,
                                 const CRtString& password_) {
  RT_INFO_TRACE_THIS("CConfWebaImp::JoinConference, emailURL=" << emailURL_ << ",confPass=" << confPass_ << ",eMail="
                                                               << eMail_ << ",attendeeName=" << attendeeName_);
  const CRtString emailURL = StripBlanks(emailURL_);
  const CRtString confPass = StripBlanks(confPass_);
  const CRtString eMail = StripBlanks(eMail_);
  const CRtString attendeeName = StripBlanks(attendeeName_);
  const CRtString userName = StripBlanks(userName_);
  const CRtString password = StripBlanks(password_);

  RT_ASSERTE_RETURN(!emailURL.empty(), QMX_ERR_INVALID_ARG);

  // The site address is scheme://host/segment/ of the invitation address.
  const size_t segmentEnd = FirstSegmentEnd(emailURL);
  if (segmentEnd == CRtString::npos) {
    RT_WARNING_TRACE_THIS("CConfWebaImp::JoinConference, parse 'siteURL' failed.");
    return QMX_ERR_INVALID_ARG;
  }

  const CRtString siteURL = emailURL.substr(0, segmentEnd + 1);

  const size_t key = emailURL.find("confKey=");
  if (key == CRtString::npos) {
    RT_WARNING_TRACE_THIS("CConfWebaImp::JoinConference, parse 'confId' failed.");
    return QMX_ERR_INVALID_ARG;
  }
  const size_t idStart = key + 8;
  const size_t amp = emailURL.find('&', idStart);
  const CRtString confID = emailURL.substr(idStart, amp == CRtString::npos ? CRtString::npos : amp - idStart);

  // The site is named by the segment that ends the site address; it is sent
  // as found, like the conference number.
  const CRtString siteName = SiteNameOf(emailURL);
  RT_INFO_TRACE_THIS("CConfWebaImp::JoinConference, siteURL=" << siteURL << ",siteName=" << siteName
                                                              << ",confID=" << confID);

  int rt = InitSite(siteURL);
  if (rt != 0) {
    RT_ERROR_TRACE_THIS("CConfWebaImp::JoinConference, InitSite failed. rt=" << rt);
    return rt;
  }

  const CRtString encConfPass = EncodeValue(confPass);
  const CRtString encEMail = EncodeValue(eMail);
  const CRtString encAttendeeName = EncodeValue(attendeeName);
  const CRtString encUserName = EncodeValue(userName);
  const CRtString encPassword = EncodeValue(password);
  const char* osName = GetPlatformTag();

  if (!m_site) {
    RT_ERROR_TRACE_THIS("JoinConference, siteClient not initialized.");
    return QMX_ERR_NO_SITE;
  }

  char query[kJoinQuerySize] = {0};
  rt = _snprintf(query, kJoinQuerySize,
                 "external/xml/XmlApiInvoker?method=JoinMeeting&site=%s&confId=%s&confPass=%s&email=%s"
                 "&attendeeName=%s&user=%s&pass=%s&osName=%s",
                 siteName.c_str(), confID.c_str(), encConfPass.c_str(), encEMail.c_str(), encAttendeeName.c_str(),
                 encUserName.c_str(), encPassword.c_str(), osName);
  if (rt >= static_cast<int>(kJoinQuerySize) || rt < 0) {
    // A cut query could end inside an escape or drop the passwords: nothing
    // is sent.
    RT_WARNING_TRACE_THIS("JoinConference, snprintf error.");
    return QMX_ERR_INVALID_ARG;
  }
  return Request(m_site, WA_ACTION_JOIN_CONFERENCE, query, nullptr, "GET");
}

int CConfWebaImp::InviteByEmails(const CRtString& siteURL_, const CRtString& siteName_, const CRtString& userName_,
                                 const CRtString& password_, const CRtString& confID_,
                                 const std::vector<CRtString>& inviteUsers) {
  RT_INFO_TRACE_THIS("CConfWebaImp::InviteByEmails, siteURL=" << siteURL_ << ",siteName=" << siteName_
                                                              << ",userName=" << userName_ << "confID=" << confID_);
  const CRtString siteURL = StripBlanks(siteURL_);
  const CRtString siteName = StripBlanks(siteName_);
  const CRtString userName = StripBlanks(userName_);
  const CRtString password = StripBlanks(password_);
  const CRtString confID = StripBlanks(confID_);

  TransportSettings::SetInviteCount(0);
  RT_ASSERTE_RETURN(!siteName.empty() && !confID.empty() && inviteUsers.size(), QMX_ERR_INVALID_ARG);

  int rt = InitSite(siteURL);
  if (rt != 0) {
    RT_ERROR_TRACE_THIS("CConfWebaImp::InviteByEmails, InitSite failed. rt=" << rt);
    return rt;
  }

  const CRtString encUserName = EncodeValue(userName);
  const CRtString encPassword = EncodeValue(password);
  char query[kInviteQuerySize] = {0};
  rt = _snprintf(query, kInviteQuerySize,
                 "external/xml/XmlApiInvoker?method=inviteAttendeeByMail&site=%s&user=%s&pass=%s&confId=%s&emails=",
                 siteName.c_str(), encUserName.c_str(), encPassword.c_str(), confID.c_str());
  if (rt >= static_cast<int>(kInviteQuerySize) || rt < 0) {
    RT_WARNING_TRACE_THIS("CConfWebaImp::InviteByEmails, snprintf error.");
    return QMX_ERR_INVALID_ARG;
  }
  // Every address keeps its ";". The one that overdraws the budget is still
  // sent; those after it are dropped. An address is only ever sent whole:
  // where the next one would not fit in the query, the list ends.
  const size_t room = kInviteQuerySize - 1 - static_cast<size_t>(rt);
  CRtString encList;
  int budget = kInviteListBudget;
  int count = 0;
  for (const CRtString& user : inviteUsers) {
    const CRtString encUser = EncodeValue(user + ";");
    if (encList.size() + encUser.size() > room) break;
    encList += encUser;
    ++count;
    budget -= static_cast<int>(user.size()) + 1;
    if (budget < 0) break;
  }
  TransportSettings::SetInviteCount(count);
  if (count < static_cast<int>(inviteUsers.size())) {
    RT_WARNING_TRACE_THIS("CConfWebaImp::InviteByEmails, addresses left out. sent=" << count
                                                                                    << ",given=" << inviteUsers.size());
  }
  if (count == 0) return QMX_ERR_INVALID_ARG;
  memcpy(query + rt, encList.c_str(), encList.size() + 1);
  return Request(m_site, WA_ACTION_INVITE_BY_EMAILS, query, nullptr, "POST");
}

int CConfWebaImp::OnHttpResponse(HttpRequest* aRequest, const CRtString& aContent) {
  switch (aRequest->action) {
    case WA_ACTION_INVITE_BY_EMAILS:
      return OnInviteByEmails(aRequest, aContent);
    case WA_ACTION_JOIN_CONFERENCE:
      return OnJoinConference(aRequest, aContent);
    default:
      RT_WARNING_TRACE_THIS("CConfWebaImp::OnHttpResponse, unexpected HttpRequest action. action=" << aRequest->action);
      return 0;
  }
}

CRtString CConfWebaImp::GetActionFile(int action) {
  switch (action) {
    case WA_ACTION_INVITE_BY_EMAILS:
      return "invitebyemails.xml";
    case WA_ACTION_JOIN_CONFERENCE:
      return "joinconference.xml";
    default:
      RT_WARNING_TRACE_THIS("CConfWebaImp::GetActionFile, unexpected HttpRequest action. action=" << action);
      return CRtString();
  }
}

int CConfWebaImp::OnInviteByEmails(HttpRequest* aRequest, const CRtString& aContent) {
  ParseInviteByEmails(aContent, aRequest->result);
  if (m_sink) {
    RT_INFO_TRACE_THIS("CConfWebaImp::OnInviteByEmails, call sink. rt=" << aRequest->result);
    m_sink->OnInviteByEmails(aRequest->result);
  }
  return aRequest->result;
}

int CConfWebaImp::OnJoinConference(HttpRequest* aRequest, const CRtString& aContent) {
  CRtString confTokenIni, loaderIni, confDownloadUrl;
  ParseJoinConference(aContent, aRequest->result, confTokenIni, loaderIni, confDownloadUrl);
  if (m_sink) {
    RT_INFO_TRACE_THIS("CWebVxImp::OnJoinConference, call sink. rt=" << aRequest->result);
    m_sink->OnJoinConference(aRequest->result, confDownloadUrl, loaderIni, confTokenIni);
  }
  return aRequest->result;
}

int CConfWebaImp::SiteErrorToResult(const CRtString& errorCode) {
  static const struct {
    const char* code;
    int result;
  } kSiteErrors[] = {
      {"0x0604003", QMX_ERR_CONF_NOT_FOUND},   {"0x0604008", QMX_ERR_CONF_PASSWORD},
      {"0x0604009", QMX_ERR_CONF_NOT_STARTED}, {"0x0604010", QMX_ERR_CONF_ENDED},
      {"0x0604006", QMX_ERR_CONF_LOCKED},      {"0x0600010", QMX_ERR_NO_ACCOUNT},
      {"0x0600011", QMX_ERR_ACCOUNT_PASSWORD},
  };
  for (const auto& e : kSiteErrors) {
    if (errorCode == e.code) return e.result;
  }
  return QMX_ERR_REFUSED;
}

CConfWebaImp::ReplyCheck CConfWebaImp::CheckReplyHeader(CSimpleParseXml* parser, const CRtString& content,
                                                        const char* caller, XML_NODE_LIST& root, XML_NODE_LIST& header,
                                                        CRtString& errorCode) {
  parser->Clear();
  if (!parser->LoadXML(content.data(), static_cast<unsigned long>(content.size()))) {
    RT_WARNING_TRACE_THIS(caller << ", LoadXML failed.");
    return REPLY_BAD;
  }
  root = parser->GetNode(kXmlDocument, kAllNodes, "root", nullptr, nullptr);
  if (root.dwCount == 0) {
    RT_WARNING_TRACE_THIS(caller << ", xml format error in root.");
    return REPLY_BAD;
  }
  header = parser->GetNode(root, kAllNodes, "header", nullptr, nullptr);
  if (header.dwCount == 0) {
    RT_WARNING_TRACE_THIS(caller << ", LoadXML failed.");
    return REPLY_BAD;
  }
  if (GetNodeBool(parser, header, 0, "success")) return REPLY_SUCCESS;
  const char* code = parser->GetValue(header, 0, "errorCode");
  errorCode = StripBlanks(code ? CRtString(code) : CRtString());
  return REPLY_REFUSED;
}

int CConfWebaImp::ParseInviteByEmails(const CRtString& content, int& result) {
  result = QMX_OK;
  RT_ASSERTE_RETURN(m_xmlparser, QMX_ERR_WRONG_STATUS);
  try {
    XML_NODE_LIST root = kXmlDocument, header = kXmlDocument;
    CRtString errorCode;
    switch (CheckReplyHeader(m_xmlparser, content, "CConfWebaImp::ParseInviteByEmails", root, header, errorCode)) {
      case REPLY_SUCCESS:
        break;
      case REPLY_BAD:
        result = QMX_ERR_BAD_REPLY;
        break;
      case REPLY_REFUSED: {
        // The site refused: report its error code the way a join does, so
        // the host sees a failure rather than 0; the message goes to the trace.
        const CRtString errorMessage = GetNodeValue(m_xmlparser, header, 0, "errorMessage");
        result = SiteErrorToResult(errorCode);
        RT_WARNING_TRACE_THIS("CConfWebaImp::ParseInviteByEmails, invitation refused. errorCode="
                              << errorCode << ",errorMessage=" << errorMessage << ",rt=" << result);
        break;
      }
    }
    m_xmlparser->Close();
  } catch (...) {
    m_xmlparser->Close();
    result = QMX_ERR_BAD_REPLY;
    RT_ERROR_TRACE_THIS("CConfWebaImp::ParseInviteByEmails, catch exception.");
  }
  return result;
}

CRtString CConfWebaImp::GetLanguageTag() {
  LANGID lang = GetUserDefaultLangID();
  if (lang == 0) lang = GetSystemDefaultLangID();
  const unsigned primary = lang & 0x3FF;
  const unsigned sub = lang >> 10;
  if (primary == 0x04) return sub == 0x02 ? "zh_CN" : "zh_TW";
  if (primary == 0x11) return "ja_JP";
  return "en_US";
}

int CConfWebaImp::ParseJoinConference(const CRtString& content, int& result, CRtString& confTokenIni,
                                      CRtString& loaderIni, CRtString& confDownloadUrl) {
  confTokenIni = "";
  loaderIni = "";
  confDownloadUrl = "";
  result = QMX_OK;
  if (content.empty()) {
    result = QMX_ERR_EMPTY_REPLY;
    return result;
  }
  RT_ASSERTE_RETURN(m_xmlparser, QMX_ERR_WRONG_STATUS);
  try {
    do {
      XML_NODE_LIST root = kXmlDocument, header = kXmlDocument;
      CRtString errorCode;
      const ReplyCheck check =
          CheckReplyHeader(m_xmlparser, content, "CConfWebaImp::ParseJoinConference", root, header, errorCode);
      if (check == REPLY_BAD) {
        result = QMX_ERR_BAD_REPLY;
        break;
      }
      if (check == REPLY_REFUSED) {
        result = SiteErrorToResult(errorCode);
        break;
      }
      const XML_NODE_LIST body = m_xmlparser->GetNode(root, kAllNodes, "body", nullptr, nullptr);
      if (body.dwCount == 0) {
        result = QMX_ERR_BAD_REPLY;
        RT_WARNING_TRACE_THIS("CConfWebaImp::ParseJoinConference, LoadXML failed.");
        break;
      }

      confTokenIni = "[Parlevo]\n";
      const XML_NODE_LIST confToken = m_xmlparser->GetNode(body, kAllNodes, "confToken", nullptr, nullptr);
      if (confToken.dwCount != 0) {
        const XML_NODE_LIST entries = m_xmlparser->GetNode(confToken, 0, "entry", nullptr, nullptr);
        for (unsigned int i = 0; i < entries.dwCount; ++i) {
          const char* k = m_xmlparser->GetValue(entries, i, "key");
          const CRtString entryKey = k ? k : "";
          if (entryKey.empty()) continue;
          const char* v = m_xmlparser->GetValue(entries, i, "value");
          if (HasControlChar(k) || HasControlChar(v)) {
            RT_WARNING_TRACE_THIS(
                "CConfWebaImp::ParseJoinConference, entry with a control character dropped. key=" << entryKey);
            continue;
          }
          confTokenIni += entryKey + "=" + (v ? v : "") + "\n";
        }
        RemoveDollars(confTokenIni);
      }
      confTokenIni = Utf8ToAnsi(confTokenIni);

      loaderIni = "[qmxloader]\n";
      const XML_NODE_LIST downLoad = m_xmlparser->GetNode(body, kAllNodes, "downLoad", nullptr, nullptr);
      if (downLoad.dwCount != 0) {
        const XML_NODE_LIST entries = m_xmlparser->GetNode(downLoad, 0, "entry", nullptr, nullptr);
        for (unsigned int i = 0; i < entries.dwCount; ++i) {
          const char* k = m_xmlparser->GetValue(entries, i, "key");
          const CRtString entryKey = k ? k : "";
          const char* v = m_xmlparser->GetValue(entries, i, "value");
          if (HasControlChar(k) || HasControlChar(v)) {
            RT_WARNING_TRACE_THIS(
                "CConfWebaImp::ParseJoinConference, entry with a control character dropped. key=" << entryKey);
            continue;
          }
          if (entryKey == "LoaderURL") {
            confDownloadUrl = v ? v : "";
          } else if (entryKey == "ContentLanguage" || entryKey == "$ContentLanguage") {
            loaderIni += entryKey + "=" + GetLanguageTag() + "\n";
          } else if (!entryKey.empty()) {
            loaderIni += entryKey + "=" + (v ? v : "") + "\n";
          }
        }
        RemoveDollars(loaderIni);
      }
      loaderIni = Utf8ToAnsi(loaderIni);

      if (confDownloadUrl.empty()) {
        RT_WARNING_TRACE_THIS("CConfWebaImp::ParseJoinConference, confDownloadUrl is null. ");
      }
    } while (false);
    m_xmlparser->Close();
  } catch (...) {
    m_xmlparser->Close();
    result = QMX_ERR_BAD_REPLY;
    RT_ERROR_TRACE_THIS("CConfWebaImp::ParseJoinConference, catch exception.");
  }
  return result;
}
