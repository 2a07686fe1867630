#include "qmxfiles.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <string>

namespace {

// The process's file mode creation mask, read without changing it (umask()
// would set it, racing with other threads).
mode_t CurrentUmask() {
  FILE* status = fopen("/proc/self/status", "re");
  if (!status) return 022;
  char line[128];
  mode_t mask = 022;
  while (fgets(line, sizeof line, status)) {
    if (strncmp(line, "Umask:", 6) == 0) {
      mask = static_cast<mode_t>(strtoul(line + 6, nullptr, 8)) & 0777;
      break;
    }
  }
  fclose(status);
  return mask;
}

}  // namespace

extern "C" {

int QmxOpenPrivateAppendFd(const char* path, const char** reason, unsigned long long* size) {
  const char* ignored = nullptr;
  if (!reason) reason = &ignored;
  *reason = nullptr;
  if (size) *size = 0;
  if (!path || !*path) {
    errno = EINVAL;
    *reason = strerror(EINVAL);
    return -1;
  }
  // O_NONBLOCK: a FIFO planted at the path must not hang the open (and it
  // changes nothing for a regular file).
  const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  int fd = -1;
  bool created = false;
  // A missing file is made exclusively: then it is a new regular file of
  // ours, 0600 at most, and needs no look. An existing one (O_EXCL refuses
  // a link there too, whatever it points to) is opened without creation and
  // checked. Someone removing it in between sends us round again.
  for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
    fd = open(path, flags | O_CREAT | O_EXCL, 0600);
    if (fd >= 0) {
      created = true;
      break;
    }
    if (errno != EEXIST) break;
    fd = open(path, flags);
    if (fd < 0 && errno != ENOENT) break;
  }
  if (fd < 0) {
    const int error = errno;
    struct stat link;
    if (error == ELOOP && lstat(path, &link) == 0 && S_ISLNK(link.st_mode)) {
      *reason = "is a symbolic link";
    } else if (error == EISDIR || error == ENXIO) {
      // A directory, or a FIFO nobody reads (O_NONBLOCK).
      *reason = "is not a regular file";
    } else {
      *reason = strerror(error);
    }
    errno = error;
    return -1;
  }
  if (created) return fd;
  // The effective user, read once: the module never changes it.
  static const uid_t self = geteuid();
  struct stat st;
  const char* refused = nullptr;
  if (fstat(fd, &st) != 0) {
    refused = strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    refused = "is not a regular file";
  } else if (st.st_uid != self) {
    refused = "belongs to another user";
  } else if (st.st_mode & 077) {
    refused = "is readable by others";
  }
  if (refused) {
    close(fd);
    *reason = refused;
    errno = EPERM;
    return -1;
  }
  if (size) *size = static_cast<unsigned long long>(st.st_size);
  return fd;
}

FILE* QmxOpenPrivateAppend(const char* path, const char** reason) {
  const int fd = QmxOpenPrivateAppendFd(path, reason, nullptr);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "a");
  if (!file) {
    const int error = errno;
    close(fd);
    if (reason) *reason = strerror(error);
    errno = error;
  }
  return file;
}

int QmxWriteAll(int fd, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = write(fd, p, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) {
      errno = EIO;
      return -1;
    }
    p += n;
    length -= static_cast<size_t>(n);
  }
  return 0;
}

void QmxCloseFd(int fd) {
  if (fd >= 0) close(fd);
}

int QmxMakePrivateDir(const char* path) {
  if (!path || !*path) {
    errno = EINVAL;
    return -1;
  }
  std::string p(path);
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  // Every prefix ending before a "/", then the whole path.
  for (size_t pos = 1;; ++pos) {
    pos = p.find('/', pos);
    const std::string part = pos == std::string::npos ? p : p.substr(0, pos);
    if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return -1;
    if (pos == std::string::npos) break;
  }
  struct stat st;
  if (stat(p.c_str(), &st) != 0) return -1;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return -1;
  }
  return 0;
}

const char* QmxHomeDir(void) {
  static std::once_flag once;
  static std::string* home = nullptr;
  std::call_once(once, [] {
    home = new std::string();
    const char* env = getenv("HOME");
    if (env && *env) {
      *home = env;
      return;
    }
    struct passwd pw;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &pw, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir) *home = found->pw_dir;
  });
  return home->c_str();
}

FILE* QmxCreateTempBeside(const char* target, char* tempPath, size_t size) {
  if (!target || !*target || !tempPath) {
    errno = EINVAL;
    return nullptr;
  }
  const std::string t(target);
  const size_t slash = t.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : t.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? t : t.substr(slash + 1);
  std::string tmpl = dir + "." + name + ".part-XXXXXX";
  if (tmpl.size() + 1 > size) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  memcpy(tempPath, tmpl.c_str(), tmpl.size() + 1);
  // mkostemp creates the file exclusively, 0600.
  const int fd = mkostemp(tempPath, O_CLOEXEC);
  if (fd < 0) return nullptr;
  FILE* file = fdopen(fd, "wb");
  if (!file) {
    const int error = errno;
    close(fd);
    unlink(tempPath);
    errno = error;
  }
  return file;
}

int QmxPublishFile(const char* tempPath, const char* target) {
  if (!tempPath || !target) {
    errno = EINVAL;
    return -1;
  }
  if (chmod(tempPath, 0666 & ~CurrentUmask()) != 0) return -1;
  return rename(tempPath, target);
}

int QmxLastErrno(void) { return errno; }

}  // extern "C"
