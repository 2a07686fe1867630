// GetFileFromURL: a download streamed into a temporary file beside its
// target, which takes the target's place only when the whole body is in, and
// the names a download may be stored under.
#include <stdio.h>
#include <string.h>

#include "ConfWebaImp.h"
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

}  // namespace

int CConfWebaImp::GetFileFromURL(const CRtString& url, const CRtString& path, const CRtString& name) {
  RT_INFO_TRACE_THIS("CConfWebaImp::GetFileFromURL, url:" << url << ",path=" << path << ",name=" << name);
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

  CFileDownload file(dir + fileName);
  if (!file.IsOpen()) {
    RT_WARNING_TRACE_THIS("CConfWebaImp::GetFileFromURL, cannot create the file. dir=" << dir
                                                                                       << ",errno=" << file.Error());
    TransportSettings::SetDiagnosis({0, 0, file.Error()});
    return QMX_ERR_FILE_NOT_WRITTEN;
  }
  DWORD status = 0;
  const int rt = GetUrlFile(url, &file, status);
  if (file.Error() != 0) {
    RT_WARNING_TRACE_THIS("CConfWebaImp::GetFileFromURL, cannot write the file. errno=" << file.Error());
    const TransportSettings::Diagnosis d = TransportSettings::LastDiagnosis();
    TransportSettings::SetDiagnosis({d.internetError, d.httpStatus, file.Error()});
    return QMX_ERR_FILE_NOT_WRITTEN;
  }
  if (rt != 0 || status < 200 || status > 299) {
    RT_WARNING_TRACE_THIS("CWebBaseImp::GetFileFromUrl, no file content! rt=" << rt
                                                                              << ",status=" << (unsigned int)status);
    return QMX_ERR_REFUSED;
  }
  if (file.Bytes() == 0) {
    RT_WARNING_TRACE_THIS("CWebBaseImp::GetFileFromUrl, no file content!");
    return QMX_ERR_REFUSED;
  }
  if (!file.Publish()) {
    RT_WARNING_TRACE_THIS("CConfWebaImp::GetFileFromURL, cannot write the file. errno=" << file.Error());
    TransportSettings::SetDiagnosis({0, status, file.Error()});
    return QMX_ERR_FILE_NOT_WRITTEN;
  }
  return 0;
}
