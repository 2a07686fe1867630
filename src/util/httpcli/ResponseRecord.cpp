#include "ResponseRecord.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <list>
#include <mutex>

#include "ConfWebaResults.h"
#include "qmxcrt.h"
#include "qmxfiles.h"

namespace {

const char kPathSeparator = '/';

const char kRecordFolderName[] = "qmxconfweba/";

std::atomic<uint64_t> g_maxFileBytes{CResponseRecord::kMaxFileBytes};

// The reasons QmxOpenPrivateAppend gives for an existing file it will not
// write to, as opposed to a failure to open at all.
bool IsRefusal(const char* reason) {
  static const char* const kRefusals[] = {"is a symbolic link", "is not a regular file", "belongs to another user",
                                          "is readable by others"};
  if (reason == nullptr) return false;
  for (const char* refusal : kRefusals)
    if (strcmp(reason, refusal) == 0) return true;
  return false;
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
    : m_fd(-1),
      m_fileBytes(0),
      m_refused(false),
      m_stampSecond(0),
      m_stampValid(false),
      m_keyTextKey(0),
      m_keyTextLength(0) {
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
  m_refused = false;
  m_replies.clear();
  return OpenFile();
}

void CResponseRecord::SetMaxFileBytes(uint64_t bytes) { g_maxFileBytes.store(bytes != 0 ? bytes : kMaxFileBytes); }

bool CResponseRecord::OpenFile() {
  if (m_fileName.empty()) return false;  // recording is off
  // Append mode: every write goes to the end of the file, whoever else
  // appends to it, with no seek. Every entry is made whole and goes out in
  // one write, so the file needs no stream (nor its buffer); the open tells
  // the size the cap starts from (a file kept from earlier runs counts).
  const char* reason = nullptr;
  unsigned long long size = 0;
  m_fd = QmxOpenPrivateAppendFd(m_fileName.c_str(), &reason, &size);
  if (m_fd < 0) {
    if (IsRefusal(reason)) {
      // Someone else's file, or one others can read: it is not written to,
      // and not asked about again at every entry.
      m_refused = true;
      RT_WARNING_TRACE("CResponseRecord::Open, not recording to " << m_fileName << ": " << reason);
    } else {
      RT_ERROR_TRACE("CResponseRecord::Open: can't open file:" << m_fileName);
    }
    return false;
  }
  m_fileBytes = size;
  return true;
}

void CResponseRecord::Close() {
  if (m_fd >= 0) {
    QmxCloseFd(m_fd);
    m_fd = -1;
  }
}

bool CResponseRecord::EnsureOpen() {
  if (m_fd < 0 && !m_fileName.empty() && !m_refused) OpenFile();
  return m_fd >= 0;
}

bool CResponseRecord::MakeRoom(uint64_t length) {
  const uint64_t cap = g_maxFileBytes.load(std::memory_order_relaxed);
  if (m_fileBytes == 0 || m_fileBytes + length <= cap) return true;
  // One older file is kept: "<name>.1", replaced each time.
  Close();
  CRtString older = m_fileName + ".1";
  if (rename(m_fileName.c_str(), older.c_str()) != 0) {
    // The file cannot be set aside: it must not grow further.
    m_refused = true;
    RT_WARNING_TRACE("CResponseRecord::Record, not recording to " << m_fileName << ": cannot rename it to " << older);
    return false;
  }
  return OpenFile();
}

void CResponseRecord::UpdateStamps(time_t now) {
  if (m_stampValid && now == m_stampSecond) return;
  // Every request has records of its own, so the stamps of the last second
  // are kept per thread as well: the time is converted once a second, not
  // once a request.
  struct Stamps {
    time_t second;
    bool valid;
    char longStamp[32];
    char shortStamp[32];
  };
  thread_local Stamps last = {0, false, "", ""};
  if (!last.valid || last.second != now) {
    struct tm local;
    if (localtime_s(&local, &now) != 0) {
      last.longStamp[0] = '\0';
      last.shortStamp[0] = '\0';
    } else {
      FormatLongStamp(local, last.longStamp, sizeof(last.longStamp));
      memset(last.shortStamp, 0, sizeof(last.shortStamp));
      strftime(last.shortStamp, sizeof(last.shortStamp), "%m-%d %H:%M:%S", &local);
    }
    last.second = now;
    last.valid = true;
  }
  memcpy(m_longStamp, last.longStamp, sizeof(m_longStamp));
  memcpy(m_shortStamp, last.shortStamp, sizeof(m_shortStamp));
  m_stampSecond = now;
  m_stampValid = true;
}

void CResponseRecord::WriteEntry(const char* text, size_t length) {
  // Unbuffered: entries are on disk as they are made. A failed write (a
  // full disk) loses the entry, as a failed stream write did.
  QmxWriteAll(m_fd, text, length);
  m_fileBytes += length;
}

void CResponseRecord::Record(DWORD request, const CRtString& requestText, const CRtString& responseText) {
  if (m_fileName.empty() || m_refused) return;
  if (!EnsureOpen()) {
    RT_ERROR_TRACE("CResponseRecord::Record: empty file. request=" << (unsigned int)request
                                                                   << ",response=" << responseText);
    return;
  }
  UpdateStamps(time(nullptr));
  int ret = _snprintf(m_lineBuffer, sizeof(m_lineBuffer), "%s requ:%d, %s\n\tresp: %s\n", m_longStamp, (int)request,
                      requestText.c_str(), responseText.c_str());
  size_t length;
  if (ret >= (int)sizeof(m_lineBuffer) || ret < 0) {
    RT_WARNING_TRACE("CResponseRecord::Record, string will be truncated. request=" << (unsigned int)request);
    m_lineBuffer[sizeof(m_lineBuffer) - 2] = '\n';
    m_lineBuffer[sizeof(m_lineBuffer) - 1] = '\0';
    length = sizeof(m_lineBuffer) - 1;
  } else {
    length = (size_t)ret;
  }
  if (!MakeRoom(length)) return;
  WriteEntry(m_lineBuffer, length);
}

void CResponseRecord::Record(DWORD key, const char* data, DWORD length) {
  if (m_fileName.empty() || m_refused) return;
  if (!EnsureOpen()) {
    RT_ERROR_TRACE("CResponseRecord::Record: empty file. request=" << (unsigned int)key);
    return;
  }
  size_t dataLength = (data && length > 0) ? (size_t)length : 0;
  // The reply this entry belongs to: the first entry of a key opens one.
  ReplyCount* reply = nullptr;
  for (ReplyCount& r : m_replies) {
    if (r.key == key) {
      reply = &r;
      break;
    }
  }
  if (reply == nullptr) {
    if (m_replies.size() >= kMaxOpenReplies) m_replies.erase(m_replies.begin());
    m_replies.push_back(ReplyCount{key, 0, 0});
    // The opening entry (an object name) is held to the same size as a
    // reply's pieces, so that no one entry comes near the file cap.
    if (dataLength > kMaxReplyBytes) {
      m_replies.back().leftOut = dataLength - kMaxReplyBytes;
      dataLength = kMaxReplyBytes;
    }
  } else {
    const size_t room = kMaxReplyBytes - reply->written;
    if (dataLength > room) {
      reply->leftOut += dataLength - room;
      dataLength = room;
      if (dataLength == 0) return;
    }
    reply->written += dataLength;
  }
  WriteStamped(key, data, dataLength);
}

void CResponseRecord::EndReply(DWORD key) {
  for (size_t i = 0; i < m_replies.size(); ++i) {
    if (m_replies[i].key != key) continue;
    const uint64_t leftOut = m_replies[i].leftOut;
    m_replies.erase(m_replies.begin() + i);
    if (leftOut == 0 || m_fileName.empty() || m_refused || !EnsureOpen()) return;
    char text[64];
    int n = snprintf(text, sizeof(text), "... %llu bytes left out", (unsigned long long)leftOut);
    WriteStamped(key, text, n > 0 ? (size_t)n : 0);
    return;
  }
}

void CResponseRecord::WriteStamped(DWORD key, const char* data, size_t dataLength) {
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
  const size_t total = stampLength + keyLength + dataLength + 1;
  if (!MakeRoom(total)) return;
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
  QmxWriteAll(m_fd, m_shortStamp, stampLength);
  QmxWriteAll(m_fd, keyText, keyLength);
  QmxWriteAll(m_fd, data, dataLength);
  m_fileBytes += stampLength + keyLength + dataLength;
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
    return QMX_ERR_INVALID_ARG;
  }
  int result = QMX_OK;
  for (const CRtString& path : toCreate) {
    if (_mkdir(path.c_str()) != 0 && errno != EEXIST) {
      RT_ERROR_TRACE("MakeDir, _mkdir Error." << path);
      result = QMX_ERR_REQUEST_FAILED;
    } else {
      result = QMX_OK;
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

namespace {

// The folder the variables name, "" when recording is off or no folder can
// be named.
CRtString ChooseRecordFolder(const char* chosen, const char* state, const char* home) {
  CRtString dir;
  if (chosen != nullptr) {
    // Set but empty: the host or the user turned recording off.
    if (chosen[0] == '\0') return dir;
    dir = chosen;
  } else {
    if (state != nullptr && state[0] == kPathSeparator) {
      dir = state;
    } else if (home[0] != '\0') {
      dir = home;
      if (dir[dir.size() - 1] != kPathSeparator) dir += kPathSeparator;
      dir += ".local/state";
    } else {
      return dir;
    }
    if (dir[dir.size() - 1] != kPathSeparator) dir += kPathSeparator;
    dir += kRecordFolderName;
  }
  if (dir[dir.size() - 1] != kPathSeparator) dir += kPathSeparator;
  return dir;
}

// The last folder made, with the variables that named it: a site made with
// the same variables needs no look at the file system.
struct MadeFolder {
  std::mutex lock;
  bool valid = false;
  bool chosenSet = false;
  CRtString chosen, state, home, dir;
};

MadeFolder& LastFolder() {
  static MadeFolder* made = new MadeFolder;  // kept for sites made at exit
  return *made;
}

// The folder the host chose (QmxConfWebaSetRecordDir); when set it stands
// where QMX_RECORD_DIR would.
std::mutex s_hostDirLock;
bool s_hostDirSet = false;
CRtString s_hostDir;

}  // namespace

void SetHostRecordDir(const char* dir) {
  std::lock_guard<std::mutex> g(s_hostDirLock);
  s_hostDirSet = dir != nullptr;
  s_hostDir = dir ? dir : "";
}

CRtString GetWorkDir() {
  CRtString hostDir;
  bool hostDirSet;
  {
    std::lock_guard<std::mutex> g(s_hostDirLock);
    hostDirSet = s_hostDirSet;
    hostDir = s_hostDir;
  }
  const char* chosen = hostDirSet ? hostDir.c_str() : getenv("QMX_RECORD_DIR");
  if (chosen != nullptr && chosen[0] == '\0') return CRtString();
  const char* stateEnv = getenv("XDG_STATE_HOME");
  const char* state = stateEnv != nullptr ? stateEnv : "";
  const char* home = QmxHomeDir();
  MadeFolder& last = LastFolder();
  {
    std::lock_guard<std::mutex> g(last.lock);
    if (last.valid && last.chosenSet == (chosen != nullptr) && last.chosen == (chosen ? chosen : "") &&
        last.state == state && last.home == home)
      return last.dir;
  }
  CRtString dir = ChooseRecordFolder(chosen, stateEnv, home);
  if (dir.empty() || QmxMakePrivateDir(dir.c_str()) != 0) {
    RT_WARNING_TRACE("CWebAccessBase::GetWorkDir, MakeDir failed. dir=" << dir);
    return CRtString();
  }
  std::lock_guard<std::mutex> g(last.lock);
  last.valid = true;
  last.chosenSet = chosen != nullptr;
  last.chosen = chosen ? chosen : "";
  last.state = state;
  last.home = home;
  last.dir = dir;
  return dir;
}

CRtString GetRecordPath(const char* name) {
  CRtString dir = GetWorkDir();
  if (dir.empty()) return dir;
  return dir + name;
}
