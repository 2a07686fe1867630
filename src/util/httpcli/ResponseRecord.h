// Plain-text record files of the module's HTTP traffic, and the file-system
// helpers around them. The files live in the record folder (GetWorkDir); they
// carry what the requests carried, passwords included, so they are the
// user's alone. Entries are only appended and go out at once.
#ifndef QMX_HTTPCLI_RESPONSERECORD_H
#define QMX_HTTPCLI_RESPONSERECORD_H

#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include <vector>

#include "qmxframework.h"
#include "windows.h"

// Appends entries to one record file. Owned by one object (the web-access
// base or a site) and used on one thread.
//
// The file is opened only as the user's own regular file (never through a
// symbolic link, created 0600). An existing file that is refused (a link,
// not a regular file, another user's, open to the group or others) is left
// alone: one warning line names it and why, and entries are dropped until
// the next Open. A file that cannot be opened for another reason (its folder
// is missing) is tried again at every entry. An empty path means recording
// is off: nothing is opened, written or traced.
//
// Two caps keep the files bounded:
//  - kMaxReplyBytes: the pieces that follow the first entry of a key (a
//    reply's body after its object-name line) are written up to this many
//    bytes per key; the rest is counted, and EndReply(key) writes one line
//    saying how many bytes were left out.
//  - kMaxFileBytes: when an entry would take the file past this size, the
//    file becomes "<name>.1" (replacing an older one) and a new one starts.
class CResponseRecord {
 public:
  static constexpr size_t kMaxReplyBytes = 64 * 1024;
  static constexpr uint64_t kMaxFileBytes = 16ull * 1024 * 1024;

  explicit CResponseRecord(const CRtString& path);
  ~CResponseRecord();

  // Opens the file for appending, creating it (readable by the user only)
  // when it does not exist. True when a stream is open afterwards.
  bool Open(const CRtString& path);
  void Close();
  bool IsOpen() const { return m_fd >= 0; }
  const CRtString& GetFileName() const { return m_fileName; }

  // Request/response entry: "<time stamp> requ:<n>, <request>\n\tresp: <response>\n",
  // cut to 4095 bytes (always ending in a line break).
  void Record(DWORD request, const CRtString& requestText, const CRtString& responseText);
  // Stamped data entry: "<mm-dd hh:mm:ss>[<key>]:<length bytes of data>\n".
  // The first entry of a key opens its reply; the later ones are its pieces,
  // held to kMaxReplyBytes in all.
  void Record(DWORD key, const char* data, DWORD length);
  // The reply of key has ended: when some of its pieces were left out, one
  // stamped entry "... <n> bytes left out". The key's next entry opens a new
  // reply.
  void EndReply(DWORD key);

  // The file size at which the file is started afresh; for tests, which
  // cannot write 16 MiB each time. 0 puts kMaxFileBytes back.
  static void SetMaxFileBytes(uint64_t bytes);

 private:
  // What has been written and left out of one reply's pieces.
  struct ReplyCount {
    DWORD key;
    size_t written;
    uint64_t leftOut;
  };
  // Replies whose end was never told are forgotten, oldest first, past this.
  static constexpr size_t kMaxOpenReplies = 64;

  CResponseRecord(const CResponseRecord&) = delete;
  CResponseRecord& operator=(const CResponseRecord&) = delete;
  bool OpenFile();
  bool EnsureOpen();
  // Makes room for an entry of `length` bytes: starts the file afresh when
  // the entry would take it past the size cap. False when the entry must be
  // dropped.
  bool MakeRoom(uint64_t length);
  // Writes the stamped entry "<stamp>[<key>]:<data>\n".
  void WriteStamped(DWORD key, const char* data, size_t length);
  // Brings both stamps up to the second now names; an entry made within the
  // same second reuses them.
  void UpdateStamps(time_t now);
  // One entry (or the last part of one) to the end of the file, on disk
  // when this returns.
  void WriteEntry(const char* text, size_t length);

  CRtString m_fileName;
  int m_fd;              // the open file, -1 when none
  uint64_t m_fileBytes;  // the file's size, as far as this record has seen it
  bool m_refused;        // the file was refused: entries are dropped until Open
  std::vector<ReplyCount> m_replies;
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
// 0, QMX_ERR_REQUEST_FAILED (the last directory could not be made) or
// QMX_ERR_INVALID_ARG (bad path).
int MakeDir(const CRtString& dir);

// 1 when path names an existing directory, else 0.
int DirExists(const CRtString& path);

// The record folder, ending in "/", made (0700) if missing:
//   $QMX_RECORD_DIR when set and not empty;
//   "" when QMX_RECORD_DIR is set but empty: recording is off;
//   else $XDG_STATE_HOME/qmxconfweba/ when XDG_STATE_HOME is an absolute path;
//   else <home>/.local/state/qmxconfweba/.
// "" too, after one warning line, when the folder cannot be made.
CRtString GetWorkDir();
// The folder the host chose, which stands where QMX_RECORD_DIR would (null:
// the default rules again; "": recording off).
void SetHostRecordDir(const char* dir);

// The path of the record file `name` in the record folder; "" (recording
// off, see CResponseRecord) when there is no folder.
CRtString GetRecordPath(const char* name);

#endif
