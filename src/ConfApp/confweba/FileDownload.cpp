// GetFileFromURL and the asynchronous download: a body streamed into a
// temporary file beside its target, which takes the target's place only when
// the whole body is in, and the names a download may be stored under.
#include <stdio.h>
#include <string.h>

#include <new>

#include "ConfWebaImp.h"
#include "HttpClient.h"
#include "TransportSettings.h"
#include "qmxcrt.h"
#include "qmxfiles.h"

CRtString CConfWebaImp::FileNameOf(const CRtString& url) {
  // The path of the address: what follows scheme://host, up to its query or
  // fragment.
  const size_t begin = HostEnd(url);
  if (begin == CRtString::npos) return "temp.tmp";
  const size_t end = url.find_first_of("?#", begin);
  const CRtString path = url.substr(begin, end == CRtString::npos ? CRtString::npos : end - begin);
  const CRtString segment = path.substr(path.rfind('/') + 1);
  CRtString name;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (size_t i = 0; i < segment.size(); ++i) {
    if (segment[i] == '%' && i + 2 < segment.size() && hex(segment[i + 1]) >= 0 && hex(segment[i + 2]) >= 0) {
      name += static_cast<char>(hex(segment[i + 1]) * 16 + hex(segment[i + 2]));
      i += 2;
    } else {
      name += segment[i];
    }
  }
  return IsPlainFileName(name) && name[0] != '.' ? name : CRtString("temp.tmp");
}

bool CConfWebaImp::IsPlainFileName(const CRtString& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

namespace {

// Writes a download's body into a temporary file beside its target; the
// file takes the target's place only when the whole body is in.
class CFileDownload : public ISiteBodySink {
 public:
  explicit CFileDownload(const CRtString& target) : m_target(target), m_file(nullptr), m_bytes(0), m_error(0) {
    char temp[MAX_PATH + 64];
    m_file = QmxCreateTempBeside(target.c_str(), temp, sizeof(temp));
    if (m_file) {
      m_temp = temp;
    } else {
      m_error = QmxLastErrno();
    }
  }
  ~CFileDownload() override { Discard(); }

  bool IsOpen() const { return m_file != nullptr; }
  const CRtString& Target() const { return m_target; }
  size_t Bytes() const { return m_bytes; }
  // The errno of the first local failure, 0 when none.
  int Error() const { return m_error; }

  bool OnBody(const char* aData, DWORD aLength) override {
    if (!m_file || m_error) return false;
    if (fwrite(aData, 1, aLength, m_file) != aLength) {
      m_error = QmxLastErrno();
      if (m_error == 0) m_error = 5;  // EIO
      return false;
    }
    m_bytes += aLength;
    return true;
  }

  // Closes the file and puts it in the target's place. False (the temporary
  // file removed, the target untouched) when any write failed.
  bool Publish() {
    if (!m_file) return false;
    FILE* file = m_file;
    m_file = nullptr;
    if (fclose(file) != 0 && m_error == 0) m_error = QmxLastErrno();
    if (m_error == 0 && QmxPublishFile(m_temp.c_str(), m_target.c_str()) != 0) m_error = QmxLastErrno();
    if (m_error != 0) {
      Discard();
      return false;
    }
    m_temp = "";
    return true;
  }

  // Drops the temporary file.
  void Discard() {
    if (m_file) {
      fclose(m_file);
      m_file = nullptr;
    }
    if (!m_temp.empty()) {
      remove(m_temp.c_str());
      m_temp = "";
    }
  }

 private:
  CRtString m_target;
  CRtString m_temp;
  FILE* m_file;
  size_t m_bytes;
  int m_error;
};

bool IsHttpAddress(const CRtString& url) {
  return _strnicmp(url.c_str(), "http://", 7) == 0 || _strnicmp(url.c_str(), "https://", 8) == 0;
}

// The result of a transfer into file (rt: the transport's result, status:
// the reply's): the file takes its target's place only when the whole body
// came with a 2xx status; otherwise it stays temporary for its owner to drop.
int Conclude(CFileDownload& file, int rt, DWORD status) {
  if (file.Error() != 0) {
    RT_WARNING_TRACE("CConfWebaImp::GetFileFromURL, cannot write the file. errno=" << file.Error());
    const TransportSettings::Diagnosis d = TransportSettings::LastDiagnosis();
    TransportSettings::SetDiagnosis({d.internetError, d.httpStatus, file.Error()});
    return QMX_ERR_FILE_NOT_WRITTEN;
  }
  if (rt != 0 || status < 200 || status > 299) {
    RT_WARNING_TRACE("CWebBaseImp::GetFileFromUrl, no file content! rt=" << rt << ",status=" << (unsigned int)status);
    return QMX_ERR_REFUSED;
  }
  if (file.Bytes() == 0) {
    RT_WARNING_TRACE("CWebBaseImp::GetFileFromUrl, no file content!");
    return QMX_ERR_REFUSED;
  }
  if (!file.Publish()) {
    RT_WARNING_TRACE("CConfWebaImp::GetFileFromURL, cannot write the file. errno=" << file.Error());
    TransportSettings::SetDiagnosis({0, status, file.Error()});
    return QMX_ERR_FILE_NOT_WRITTEN;
  }
  return 0;
}

// The last id given to an asynchronous download; 0 is never one.
unsigned s_lastDownloadId = 0;

}  // namespace

// One asynchronous download: the file, the request on a site of its own, and
// the host's sink. Everything runs on the host's thread; the host hears of it
// only through posted events, never from inside its own calls. Held by the
// module's table while it runs and by each event posted for it.
class CAsyncDownload : public CFileDownload, public ISiteClientSink, public CReferenceControl {
 public:
  CAsyncDownload(CConfWebaImp* owner, unsigned id, const QmxDownloadSink& sink, const CRtString& target)
      : CFileDownload(target), m_owner(owner), m_id(id), m_sink(sink), m_hRequest(0) {}

  // Sends the request. 0, or the transport's result (nothing sent).
  int Start(const CRtString& url) {
    CRtString siteURL, objName;
    if (!CWebAccessBase::SplitFileUrl(url, siteURL, objName)) return QMX_ERR_INVALID_ARG;
    const int initRt = CHttpClient::Instance()->InitSite(siteURL, m_site.ParaOut());
    if (!m_site) return initRt != 0 ? initRt : QMX_ERR_NO_SITE;
    m_site->OpenWith(this);
    const int rt = m_site->RequestTo(&m_hRequest, this, objName, "GET");
    if (rt != 0) CloseSite(false);
    return rt;
  }

  // The host's cancel: the transfer stops, the file goes, the completion
  // follows on the queue.
  void Cancel() {
    if (m_finished) return;
    CloseSite(true);
    Finish(QMX_ERR_CANCELLED);
  }

  // The module's shutdown: the transfer stops and the file goes; the host
  // hears nothing more.
  void Abandon() {
    m_silent = true;
    if (m_finished) return;
    m_finished = true;
    CloseSite(true);
    Discard();
  }

  bool OnBody(const char* aData, DWORD aLength) override {
    if (!CFileDownload::OnBody(aData, aLength)) return false;
    // One progress report waits at a time; it tells the count when it runs.
    if (!m_progressQueued && m_sink.progress) m_progressQueued = Post(false);
    return true;
  }
  void OnBodyLength(long long aLength) override { m_total = aLength; }

  // The end of the request; the transport set the diagnosis just before.
  int OnRequest(DWORD /*hRequest*/, int aResult, CRtString& /*aContent*/) override {
    if (m_finished) return 0;
    Finish(Conclude(*this, aResult, TransportSettings::LastDiagnosis().httpStatus));
    return 0;
  }

  void FireProgress() {
    m_progressQueued = false;
    if (m_silent || !m_sink.progress || (m_finished && m_result != 0)) return;
    const long long received = static_cast<long long>(Bytes());
    if (received == m_reported) return;
    m_reported = received;
    m_sink.progress(m_sink.context, m_id, received, m_total);
  }

  void FireCompletion() {
    if (m_silent) return;
    m_silent = true;  // once
    if (m_sink.complete) m_sink.complete(m_sink.context, m_id, m_result, m_result == 0 ? Target().c_str() : nullptr);
  }

 private:
  class CEvent : public IRtEvent {
   public:
    CEvent(CAsyncDownload* download, bool completion) : m_download(download), m_completion(completion) {}
    int OnEventFire() override {
      if (m_completion) {
        m_download->FireCompletion();
      } else {
        m_download->FireProgress();
      }
      return 0;
    }

   private:
    CRtAutoPtr<CAsyncDownload> m_download;
    bool m_completion;
  };

  bool Post(bool completion) {
    CEvent* event = new (std::nothrow) CEvent(this, completion);
    if (!event) return false;
    if (CHttpClient::Instance()->PostEvent(event) == 0) return true;
    delete event;
    return false;
  }

  // Detaches from the site and closes it; with cancelRequest the request is
  // dropped first (no report follows), which stops the transfer.
  void CloseSite(bool cancelRequest) {
    if (!m_site) return;
    m_site->OpenWith(nullptr);
    if (cancelRequest && m_hRequest) m_site->Cancel(m_hRequest);
    CHttpClient::Instance()->CloseSite(m_site);
    m_site = static_cast<ISiteClient*>(nullptr);
  }

  void Finish(int result) {
    CRtAutoPtr<CAsyncDownload> self(this);  // outlives its place in the table
    m_finished = true;
    m_result = result;
    Discard();  // nothing left after a publish
    CloseSite(false);
    m_owner->ForgetDownload(m_id);
    // A success ends its progress at the whole count, before the completion.
    if (result == 0 && !m_progressQueued && m_sink.progress && m_reported != static_cast<long long>(Bytes()))
      m_progressQueued = Post(false);
    Post(true);
  }

  CConfWebaImp* m_owner;
  const unsigned m_id;
  const QmxDownloadSink m_sink;
  CRtAutoPtr<ISiteClient> m_site;
  DWORD m_hRequest;
  long long m_total = -1;
  long long m_reported = -1;
  int m_result = 0;
  bool m_progressQueued = false;
  bool m_finished = false;  // the request is over; the completion is posted
  bool m_silent = false;    // the host hears nothing more
};

int CConfWebaImp::PrepareDownload(const CRtString& url, const CRtString& path, const CRtString& name,
                                  CRtString& target) {
  RT_ASSERTE_RETURN(!url.empty() && !path.empty(), QMX_ERR_INVALID_ARG);
  TransportSettings::SetDiagnosis({0, 0, 0});
  if (!IsHttpAddress(url)) {
    RT_WARNING_TRACE_THIS("CConfWebaImp::GetFileFromURL, only http and https addresses are fetched. url=" << url);
    return QMX_ERR_INVALID_ARG;
  }
  if (!name.empty() && !IsPlainFileName(name)) {
    RT_WARNING_TRACE_THIS("CConfWebaImp::GetFileFromURL, the name is not a plain file name. name=" << name);
    return QMX_ERR_INVALID_ARG;
  }

  CRtString fileName = name;
  if (fileName.empty()) {
    fileName = FileNameOf(url);
    if (fileName == "temp.tmp") {
      RT_WARNING_TRACE_THIS("CWebBaseImp::GetFileFromUrl, no file name! temp.tmp" << name);
    }
  }

  CRtString dir = path;
  if (dir.rfind('/') != dir.size() - 1) dir += "/";
  MakeDir(dir);
  target = dir + fileName;
  return 0;
}

int CConfWebaImp::GetFileFromURL(const CRtString& url, const CRtString& path, const CRtString& name) {
  RT_INFO_TRACE_THIS("CConfWebaImp::GetFileFromURL, url:" << url << ",path=" << path << ",name=" << name);
  CRtString target;
  const int prepared = PrepareDownload(url, path, name, target);
  if (prepared != 0) return prepared;

  CFileDownload file(target);
  if (!file.IsOpen()) {
    RT_WARNING_TRACE_THIS("CConfWebaImp::GetFileFromURL, cannot create the file. target=" << target
                                                                                          << ",errno=" << file.Error());
    TransportSettings::SetDiagnosis({0, 0, file.Error()});
    return QMX_ERR_FILE_NOT_WRITTEN;
  }
  DWORD status = 0;
  const int rt = GetUrlFile(url, &file, status);
  return Conclude(file, rt, status);
}

unsigned CConfWebaImp::StartDownload(const CRtString& url, const CRtString& path, const CRtString& name,
                                     const QmxDownloadSink& sink) {
  RT_INFO_TRACE_THIS("CConfWebaImp::StartDownload, url:" << url << ",path=" << path << ",name=" << name);
  CRtString target;
  if (PrepareDownload(url, path, name, target) != 0) return 0;
  unsigned id = ++s_lastDownloadId;
  if (id == 0) id = ++s_lastDownloadId;
  CRtAutoPtr<CAsyncDownload> download(new (std::nothrow) CAsyncDownload(this, id, sink, target));
  RT_ASSERTE_RETURN(download.Get(), 0);
  if (!download->IsOpen()) {
    RT_WARNING_TRACE_THIS(
        "CConfWebaImp::StartDownload, cannot create the file. target=" << target << ",errno=" << download->Error());
    TransportSettings::SetDiagnosis({0, 0, download->Error()});
    return 0;
  }
  const int rt = download->Start(url);
  if (rt != 0) {
    RT_WARNING_TRACE_THIS("CConfWebaImp::StartDownload, the request was not sent. rt=" << rt);
    return 0;
  }
  m_downloads[id] = download.Get();
  download->AddReference();  // the table's
  return id;
}

int CConfWebaImp::CancelDownload(unsigned id) {
  auto found = m_downloads.find(id);
  if (found == m_downloads.end()) return 0;
  RT_INFO_TRACE_THIS("CConfWebaImp::CancelDownload, id=" << id);
  CRtAutoPtr<CAsyncDownload> download(found->second);
  download->Cancel();  // leaves the table
  return 1;
}

void CConfWebaImp::ForgetDownload(unsigned id) {
  auto found = m_downloads.find(id);
  if (found == m_downloads.end()) return;
  CAsyncDownload* download = found->second;
  m_downloads.erase(found);
  download->ReleaseReference();
}

void CConfWebaImp::AbandonDownloads() {
  std::map<unsigned, CAsyncDownload*> downloads;
  downloads.swap(m_downloads);
  for (auto& entry : downloads) {
    entry.second->Abandon();
    entry.second->ReleaseReference();
  }
}
