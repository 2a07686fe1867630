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

// "YYYY-MM-DD hh:mm:ss" of a broken-down time into buffer (32 bytes).
void FormatLongStamp(const struct tm& local, char* buffer, size_t size) {
  memset(buffer, 0, size);
  int ret = _snprintf(buffer, size, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                      local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  if (ret >= (int)size || ret < 0) {
    RT_WARNING_TRACE("GetTimeStamp, string will be truncated.");
    buffer[size - 1] = '\0';
  }
}

}  // namespace

CResponseRecord::CResponseRecord(const CRtString& path)
    : m_pFile(nullptr), m_stampSecond(0), m_stampValid(false), m_keyTextKey(0), m_keyTextLength(0) {
  memset(m_keyText, 0, sizeof(m_keyText));
  memset(m_longStamp, 0, sizeof(m_longStamp));
  memset(m_shortStamp, 0, sizeof(m_shortStamp));
  memset(m_lineBuffer, 0, sizeof(m_lineBuffer));
  Open(path);
}

CResponseRecord::~CResponseRecord() { Close(); }

bool CResponseRecord::Open(const CRtString& path) {
  Close();
  m_fileName = path;
  // Append mode: every write goes to the end of the file, whoever else
  // appends to it, with no seek. The exclusive create tells a file made now,
  // which only its owner may read, from one that was already there.
  m_pFile = fopen(path.c_str(), "ax");
  if (m_pFile) {
    RestrictToOwner(path);
  } else {
    m_pFile = fopen(path.c_str(), "a");
  }
  if (!m_pFile) {
    RT_ERROR_TRACE("CResponseRecord::Open: can't open file:" << path);
    return false;
  }
  // Every entry is made whole and goes out at once: the stream needs no
  // buffer of its own (nor the look at the file that sizes one).
  setvbuf(m_pFile, nullptr, _IONBF, 0);
  return true;
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

void CResponseRecord::UpdateStamps(time_t now) {
  if (m_stampValid && now == m_stampSecond) return;
  struct tm local;
  if (localtime_s(&local, &now) != 0) {
    m_longStamp[0] = '\0';
    m_shortStamp[0] = '\0';
  } else {
    FormatLongStamp(local, m_longStamp, sizeof(m_longStamp));
    memset(m_shortStamp, 0, sizeof(m_shortStamp));
    strftime(m_shortStamp, sizeof(m_shortStamp), "%m-%d %H:%M:%S", &local);
  }
  m_stampSecond = now;
  m_stampValid = true;
}

void CResponseRecord::WriteEntry(const char* text, size_t length) {
  fwrite(text, 1, length, m_pFile);
  // Entries are on disk as they are made.
  fflush(m_pFile);
}

void CResponseRecord::Record(DWORD request, const CRtString& requestText, const CRtString& responseText) {
  if (!EnsureOpen()) {
    RT_ERROR_TRACE("CResponseRecord::Record: empty file. request=" << (unsigned int)request
                                                                    << ",response=" << responseText);
    return;
  }
  UpdateStamps(time(nullptr));
  int ret = _snprintf(m_lineBuffer, sizeof(m_lineBuffer), "%s requ:%d, %s\n\tresp: %s\n", m_longStamp,
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
  WriteEntry(m_lineBuffer, length);
}

void CResponseRecord::Record(DWORD key, const char* data, DWORD length) {
  if (!EnsureOpen()) {
    RT_ERROR_TRACE("CResponseRecord::Record: empty file. request=" << (unsigned int)key);
    return;
  }
  if (m_keyTextLength == 0 || key != m_keyTextKey) {
    memset(m_keyText, 0, sizeof(m_keyText));
    snprintf(m_keyText, sizeof(m_keyText), "[%5d]:", (int)key);
    m_keyTextKey = key;
    m_keyTextLength = strlen(m_keyText);
  }
  const char* keyText = m_keyText;
  const size_t keyLength = m_keyTextLength;
  UpdateStamps(time(nullptr));

  const size_t stampLength = strlen(m_shortStamp);
  const size_t dataLength = (data && length > 0) ? (size_t)length : 0;
  const size_t total = stampLength + keyLength + dataLength + 1;
  if (total <= sizeof(m_lineBuffer)) {
    // The usual entry (a read piece, an object name) goes out in one write.
    char* out = m_lineBuffer;
    memcpy(out, m_shortStamp, stampLength);
    out += stampLength;
    memcpy(out, keyText, keyLength);
    out += keyLength;
    if (dataLength) memcpy(out, data, dataLength);
    out += dataLength;
    *out = '\n';
    WriteEntry(m_lineBuffer, total);
    return;
  }
  // A large piece goes from where it is, not copied.
  fwrite(m_shortStamp, 1, stampLength, m_pFile);
  fwrite(keyText, 1, keyLength, m_pFile);
  fwrite(data, 1, dataLength, m_pFile);
  WriteEntry("\n", 1);
}

CRtString GetTimeStamp() {
  time_t now = time(nullptr);
  struct tm local;
  if (localtime_s(&local, &now) != 0) return CRtString();
  char buffer[32];
  FormatLongStamp(local, buffer, sizeof(buffer));
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
