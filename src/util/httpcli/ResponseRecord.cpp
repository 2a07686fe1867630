#include "ResponseRecord.h"

#include <errno.h>
#include <string.h>
#include <time.h>

#include <filesystem>
#include <list>
#include <system_error>

#include "HttpResult.h"
#include "qmxcrt.h"

namespace {

const char kPathSeparator = '/';

// Record files carry what the requests carried, passwords included.
void RestrictToOwner(const CRtString& path) {
  std::error_code ec;
  std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::replace, ec);
}

}  // namespace

CResponseRecord::CResponseRecord(const CRtString& path) : m_pFile(nullptr) {
  memset(m_lineBuffer, 0, sizeof(m_lineBuffer));
  Open(path);
}

CResponseRecord::~CResponseRecord() { Close(); }

bool CResponseRecord::Open(const CRtString& path) {
  Close();
  m_fileName = path;
  m_pFile = fopen(path.c_str(), "r+");
  if (!m_pFile) {
    m_pFile = fopen(path.c_str(), "w+");
    if (m_pFile) RestrictToOwner(path);
  }
  if (!m_pFile) {
    RT_ERROR_TRACE("CResponseRecord::Open: can't open file:" << path);
  }
  return m_pFile != nullptr;
}

void CResponseRecord::Close() {
  if (m_pFile) {
    fclose(m_pFile);
    m_pFile = nullptr;
  }
}

bool CResponseRecord::EnsureOpen() {
  if (!m_pFile && !m_fileName.empty()) {
    CRtString name = m_fileName;
    Open(name);
  }
  return m_pFile != nullptr;
}

void CResponseRecord::Record(DWORD request, const CRtString& requestText, const CRtString& responseText) {
  if (!EnsureOpen()) {
    RT_ERROR_TRACE("CResponseRecord::Record: empty file. request=" << (unsigned int)request
                                                                    << ",response=" << responseText);
    return;
  }
  memset(m_lineBuffer, 0, sizeof(m_lineBuffer));
  CRtString stamp = GetTimeStamp();
  int ret = _snprintf(m_lineBuffer, sizeof(m_lineBuffer), "%s requ:%d, %s\n\tresp: %s\n", stamp.c_str(),
                      (int)request, requestText.c_str(), responseText.c_str());
  size_t length;
  if (ret >= (int)sizeof(m_lineBuffer) || ret < 0) {
    RT_WARNING_TRACE("CResponseRecord::Record, string will be truncated. request=" << (unsigned int)request);
    m_lineBuffer[sizeof(m_lineBuffer) - 2] = '\n';
    m_lineBuffer[sizeof(m_lineBuffer) - 1] = '\0';
    length = sizeof(m_lineBuffer) - 1;
  } else {
    length = (size_t)ret;
  }
  fseek(m_pFile, 0, SEEK_END);
  fwrite(m_lineBuffer, 1, length, m_pFile);
  fflush(m_pFile);
}

void CResponseRecord::Record(DWORD key, const char* data, DWORD length) {
  if (!EnsureOpen()) {
    RT_ERROR_TRACE("CResponseRecord::Record: empty file. request=" << (unsigned int)key);
    return;
  }
  char keyText[20];
  memset(keyText, 0, sizeof(keyText));
  snprintf(keyText, sizeof(keyText), "[%5d]:", (int)key);

  struct _timeb now;
  _ftime(&now);
  time_t seconds = now.time;
  char timeText[128];
  memset(timeText, 0, sizeof(timeText));
  struct tm* local = localtime(&seconds);
  if (local) strftime(timeText, sizeof(timeText), "%m-%d %H:%M:%S", local);

  fseek(m_pFile, 0, SEEK_END);
  fwrite(timeText, 1, strlen(timeText), m_pFile);
  fwrite(keyText, 1, strlen(keyText), m_pFile);
  if (data && length > 0) fwrite(data, 1, length, m_pFile);
  fwrite("\n", 1, 1, m_pFile);
  fflush(m_pFile);
}

CRtString GetTimeStamp() {
  time_t now = time(nullptr);
  struct tm* local = localtime(&now);
  char buffer[32];
  memset(buffer, 0, sizeof(buffer));
  if (!local) return CRtString();
  int ret = _snprintf(buffer, sizeof(buffer), "%04d-%02d-%02d %02d:%02d:%02d", local->tm_year + 1900,
                      local->tm_mon + 1, local->tm_mday, local->tm_hour, local->tm_min, local->tm_sec);
  if (ret >= (int)sizeof(buffer) || ret < 0) {
    RT_WARNING_TRACE("GetTimeStamp, string will be truncated.");
    buffer[sizeof(buffer) - 1] = '\0';
  }
  return CRtString(buffer);
}

int MakeDir(const CRtString& dir) {
  CRtString rest = dir;
  std::list<CRtString> toCreate;
  bool foundExisting = false;
  size_t pos = rest.rfind(kPathSeparator);
  while (pos != CRtString::npos) {
    // The root plays the part of a drive: cutting before the leading "/"
    // leaves "/" itself.
    rest = (pos == 0) ? CRtString(1, kPathSeparator) : rest.substr(0, pos);
    if (DirExists(rest)) {
      foundExisting = true;
      break;
    }
    if (rest.size() == 1 && rest[0] == kPathSeparator) break;
    toCreate.push_front(rest);
    pos = rest.rfind(kPathSeparator);
  }
  if (!foundExisting && !(rest.size() == 1 && rest[0] == kPathSeparator)) {
    toCreate.clear();
    RT_ERROR_TRACE("MakeDir, Error Dir String:" << dir);
    return HTTP_ERR_INVALID_ARG;
  }
  int result = HTTP_OK;
  for (const CRtString& path : toCreate) {
    if (_mkdir(path.c_str()) != 0 && errno != EEXIST) {
      RT_ERROR_TRACE("MakeDir, _mkdir Error." << path);
      result = HTTP_ERR_REQUEST_FAILED;
    } else {
      result = HTTP_OK;
    }
  }
  return result;
}

int DirExists(const CRtString& path) {
  struct _finddata_t info;
  memset(&info, 0, sizeof(info));
  intptr_t handle = _findfirst(path.c_str(), &info);
  if (handle == -1) return 0;
  int isDir = (info.attrib & _A_SUBDIR) ? 1 : 0;
  _findclose(handle);
  return isDir;
}

CRtString GetWorkDir() {
  char buffer[MAX_PATH];
  memset(buffer, 0, sizeof(buffer));
  GetModuleFileNameA(nullptr, buffer, sizeof(buffer));
  CRtString path(buffer);
  size_t pos = path.rfind(kPathSeparator);
  CRtString dir = (pos != CRtString::npos) ? path.substr(0, pos + 1) : path;
  if (dir.empty() || dir[dir.size() - 1] != kPathSeparator) dir += kPathSeparator;
  if (MakeDir(dir) != 0) {
    RT_WARNING_TRACE("CWebAccessBase::GetWorkDir, MakeDir failed. dir=" << dir);
  }
  return dir;
}
