// The Microsoft C runtime functions the module uses, over the C library and
// POSIX calls.
#include "qmxcrt.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <mutex>
#include <set>
#include <string>

namespace {

int LowerAscii(int c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

// True when a descriptor of this process refers to the regular file with this
// device and inode. Without /proc nothing can be found, and the answer is no.
bool HeldOpenByThisProcess(dev_t dev, ino_t ino) {
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return false;
  bool found = false;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::string link = std::string("/proc/self/fd/") + entry->d_name;
    struct stat st;
    // stat follows the link to the open file itself, even a deleted one.
    if (stat(link.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == dev && st.st_ino == ino) {
      found = true;
      break;
    }
  }
  closedir(dir);
  return found;
}

// False only when no descriptor anywhere has this file open. A write lease is
// granted only then, so asking for one answers without looking through this
// process's descriptors; the lease goes with the descriptor, at once. When
// the lease is refused (the file is open somewhere, the file system has no
// leases, the file is not ours), the answer is "maybe" and the caller
// looks at its own descriptors.
bool MaybeOpenAnywhere(const char* path) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return true;
  // Should another process open the file in the moment the lease is held,
  // the kernel signals the holder, with SIGIO (which ends a process by
  // default) unless told otherwise: SIGURG is ignored by default.
  bool unopened = fcntl(fd, F_SETSIG, SIGURG) == 0 && fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
  close(fd);
  return !unopened;
}

// The handles _findfirst gave out and _findclose has not yet taken back, so
// that a wrong handle is refused rather than freed.
std::mutex g_findMutex;
std::set<intptr_t> g_findHandles;
intptr_t g_nextFindHandle = 1;

}  // namespace

extern "C" {

int _vsnprintf(char* buffer, size_t count, const char* format, va_list args) {
  if (!format || (!buffer && count > 0)) {
    errno = EINVAL;
    return -1;
  }
  va_list again;
  va_copy(again, args);
  int n = vsnprintf(buffer, count, format, args);
  if (n < 0) {
    va_end(again);
    return -1;
  }
  if (static_cast<size_t>(n) < count) {
    va_end(again);
    return n;
  }
  // It did not fit with its NUL. Windows then fills all count bytes with text
  // and writes no NUL, where vsnprintf would have put one in the last byte:
  // format again in full and copy.
  if (count > 0) {
    char* full = static_cast<char*>(malloc(static_cast<size_t>(n) + 1));
    if (full) {
      vsnprintf(full, static_cast<size_t>(n) + 1, format, again);
      memcpy(buffer, full, count);
      free(full);
    }
  }
  va_end(again);
  return static_cast<size_t>(n) == count ? n : -1;
}

int _snprintf(char* buffer, size_t count, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = _vsnprintf(buffer, count, format, args);
  va_end(args);
  return n;
}

// Compares as the C locale's tolower does, byte by byte; a null argument is
// an error (INT_MAX, errno EINVAL) as in the Microsoft runtime.
int _stricmp(const char* a, const char* b) { return _strnicmp(a, b, static_cast<size_t>(-1)); }

int _strnicmp(const char* a, const char* b, size_t n) {
  if (!a || !b) {
    errno = EINVAL;
    return INT_MAX;
  }
  for (size_t i = 0; i < n; ++i) {
    int ca = LowerAscii(static_cast<unsigned char>(a[i]));
    int cb = LowerAscii(static_cast<unsigned char>(b[i]));
    if (ca != cb || ca == 0) return ca - cb;
  }
  return 0;
}

int _mkdir(const char* dirname) {
  if (!dirname) {
    errno = EINVAL;
    return -1;
  }
  return mkdir(dirname, 0777);
}

int _unlink(const char* filename) {
  if (!filename) {
    errno = EINVAL;
    return -1;
  }
  struct stat st;
  if (lstat(filename, &st) != 0) return -1;
  // Windows deletes neither directories nor files that are open without
  // delete sharing, which is how the C runtime opens them.
  if (S_ISDIR(st.st_mode) ||
      (S_ISREG(st.st_mode) && MaybeOpenAnywhere(filename) && HeldOpenByThisProcess(st.st_dev, st.st_ino))) {
    errno = EACCES;
    return -1;
  }
  return unlink(filename);
}

void _ftime(struct _timeb* timeptr) {
  if (!timeptr) return;
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm local;
  localtime_r(&now.tv_sec, &local);
  timeptr->time = now.tv_sec;
  timeptr->millitm = static_cast<unsigned short>(now.tv_nsec / 1000000);
  // Minutes west of UTC of standard time, and whether summer time is in force.
  long standardOffset = local.tm_gmtoff - (local.tm_isdst > 0 ? 3600 : 0);
  timeptr->timezone = static_cast<short>(-standardOffset / 60);
  timeptr->dstflag = static_cast<short>(local.tm_isdst > 0 ? 1 : 0);
}

errno_t localtime_s(struct tm* tmDest, const time_t* timer) {
  if (!tmDest) {
    errno = EINVAL;
    return EINVAL;
  }
  if (!timer || !localtime_r(timer, tmDest)) {
    memset(tmDest, 0, sizeof(*tmDest));
    tmDest->tm_mday = -1;  // what the Microsoft runtime leaves in a refused result
    tmDest->tm_mon = -1;
    tmDest->tm_year = -1;
    tmDest->tm_hour = -1;
    tmDest->tm_min = -1;
    tmDest->tm_sec = -1;
    tmDest->tm_wday = -1;
    tmDest->tm_yday = -1;
    tmDest->tm_isdst = -1;
    errno = EINVAL;
    return EINVAL;
  }
  return 0;
}

intptr_t _findfirst(const char* filespec, struct _finddata_t* fileinfo) {
  if (!filespec || !fileinfo) {
    errno = EINVAL;
    return -1;
  }
  if (strpbrk(filespec, "*?")) {
    errno = EINVAL;  // wild cards are not supported
    return -1;
  }
  struct stat st;
  if (stat(filespec, &st) != 0) {
    errno = ENOENT;
    return -1;
  }
  memset(fileinfo, 0, sizeof(*fileinfo));
  if (S_ISDIR(st.st_mode)) {
    fileinfo->attrib |= _A_SUBDIR;
  } else {
    fileinfo->attrib |= _A_ARCH;  // what a freshly written file shows on Windows
  }
  if (access(filespec, W_OK) != 0) fileinfo->attrib |= _A_RDONLY;
  const char* base = strrchr(filespec, '/');
  base = base ? base + 1 : filespec;
  if (base[0] == '.' && strcmp(base, ".") != 0 && strcmp(base, "..") != 0) fileinfo->attrib |= _A_HIDDEN;
  fileinfo->time_create = st.st_ctime;  // no creation time in stat: the status change
  fileinfo->time_access = st.st_atime;
  fileinfo->time_write = st.st_mtime;
  fileinfo->size = static_cast<uint64_t>(st.st_size);
  snprintf(fileinfo->name, sizeof(fileinfo->name), "%s", base);
  try {
    std::lock_guard<std::mutex> lock(g_findMutex);
    intptr_t handle = g_nextFindHandle++;
    g_findHandles.insert(handle);
    return handle;
  } catch (...) {
    errno = ENOMEM;
    return -1;
  }
}

int _findclose(intptr_t handle) {
  std::lock_guard<std::mutex> lock(g_findMutex);
  if (g_findHandles.erase(handle) == 0) {
    errno = EINVAL;
    return -1;
  }
  return 0;
}

}  // extern "C"
