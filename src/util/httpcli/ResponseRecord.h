// Plain-text record files of the module's HTTP traffic, and the file-system
// helpers around them. The files live in the work directory (the directory
// of the host's executable); entries are only appended and flushed at once.
#ifndef QMX_HTTPCLI_RESPONSERECORD_H
#define QMX_HTTPCLI_RESPONSERECORD_H

#include <stdio.h>
#include <time.h>

#include "qmxframework.h"
#include "windows.h"

// Appends entries to one record file. A record whose file cannot be opened
// stays usable: every write tries the open again while a file name is set.
// Owned by one object (the web-access base or a site) and used on one thread.
class CResponseRecord {
 public:
  explicit CResponseRecord(const CRtString& path);
  ~CResponseRecord();

  // Opens the file for appending, creating it (readable by the user only)
  // when it does not exist. True when a stream is open afterwards.
  bool Open(const CRtString& path);
  void Close();
  bool IsOpen() const { return m_pFile != nullptr; }
  const CRtString& GetFileName() const { return m_fileName; }

  // Request/response entry: "<time stamp> requ:<n>, <request>\n\tresp: <response>\n",
  // cut to 4095 bytes (always ending in a line break).
  void Record(DWORD request, const CRtString& requestText, const CRtString& responseText);
  // Stamped data entry: "<mm-dd hh:mm:ss>[<key>]:<length bytes of data>\n".
  void Record(DWORD key, const char* data, DWORD length);

 private:
  CResponseRecord(const CResponseRecord&) = delete;
  CResponseRecord& operator=(const CResponseRecord&) = delete;
  bool EnsureOpen();
  // Brings both stamps up to the second now names; an entry made within the
  // same second reuses them.
  void UpdateStamps(time_t now);
  // One entry to the end of the file, on disk when this returns.
  void WriteEntry(const char* text, size_t length);

  CRtString m_fileName;
  FILE* m_pFile;
  time_t m_stampSecond;
  bool m_stampValid;
  char m_longStamp[32];   // "YYYY-MM-DD hh:mm:ss", empty when the time could not be converted
  char m_shortStamp[32];  // "mm-dd hh:mm:ss", likewise
  // "[<key>]:" of the last key written: the pieces of one reply share it.
  DWORD m_keyTextKey;
  size_t m_keyTextLength;
  char m_keyText[20];
  char m_lineBuffer[4096];
};

// The current local time as "YYYY-MM-DD hh:mm:ss".
CRtString GetTimeStamp();

// Creates the missing directories of a path, shortest first. What follows the
// last "/" is a file name and is not created, so pass a directory ending in
// "/". The path must be absolute or have an existing ancestor.
// 0, 10006 (the last directory could not be made) or 10008 (bad path).
int MakeDir(const CRtString& dir);

// 1 when path names an existing directory, else 0.
int DirExists(const CRtString& path);

// The directory of the host's executable, ending in "/", made if missing.
CRtString GetWorkDir();

#endif
