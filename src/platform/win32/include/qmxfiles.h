// Files the module keeps for the user alone (record files) and files it
// replaces whole (downloads): the few POSIX file operations the module needs
// beyond the C runtime, so that it stays free of POSIX headers.
#ifndef QMX_WIN32_QMXFILES_H
#define QMX_WIN32_QMXFILES_H

#include <stddef.h>
#include <stdio.h>

#include "windows.h"

#ifdef __cplusplus
extern "C" {
#endif

// Opens path for appending, for the user only: never through a symbolic link,
// created 0600 in one step when missing. An existing file that is not a
// regular file, is not the user's, or that the group or others may read or
// write is refused. Returns the stream (unbuffered is up to the caller), or
// null with *reason (when reason is given) set to a short English text: "is a
// symbolic link", "is not a regular file", "belongs to another user", "is
// readable by others", or the system's text of the error.
QMX_WIN32_API FILE* QmxOpenPrivateAppend(const char* path, const char** reason);

// The same as a descriptor, for a writer that makes each entry whole and
// needs no stream: the descriptor, or -1 with errno and *reason set as
// above. *size (when given) gets the file's size, 0 for a file this call
// created. A missing file costs one system call (created exclusively), an
// existing one two (opened, then looked at).
QMX_WIN32_API int QmxOpenPrivateAppendFd(const char* path, const char** reason, unsigned long long* size);

// Writes all length bytes to fd, again after a short write or an
// interruption. 0, or -1 with errno set.
QMX_WIN32_API int QmxWriteAll(int fd, const void* data, size_t length);

// Closes a descriptor of QmxOpenPrivateAppendFd; -1 is ignored.
QMX_WIN32_API void QmxCloseFd(int fd);

// Makes a directory and its missing parents, the new ones 0700. 0, or -1
// with errno set (ENOTDIR when a part of the path is not a directory).
QMX_WIN32_API int QmxMakePrivateDir(const char* path);

// The user's home directory: $HOME, else the password database's; "" when
// neither names one. The text stays valid for the life of the process.
QMX_WIN32_API const char* QmxHomeDir(void);

// Creates a new empty file beside target (same folder, a hidden name made of
// target's name and a random suffix), exclusively, readable by the user only,
// and opens it for writing. Its path goes to tempPath (size bytes). The
// stream, or null with errno set.
QMX_WIN32_API FILE* QmxCreateTempBeside(const char* target, char* tempPath, size_t size);

// Gives tempPath the mode a newly created file gets (0666 less the umask)
// and renames it over target in one step: a link at target is replaced, not
// followed. 0, or -1 with errno set (tempPath is then left in place).
QMX_WIN32_API int QmxPublishFile(const char* tempPath, const char* target);

// The errno of the calling thread, for module code that has no <errno.h>.
QMX_WIN32_API int QmxLastErrno(void);

#ifdef __cplusplus
}
#endif

#endif
