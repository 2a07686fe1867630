// The executable's path, read from /proc/self/exe once per process: like a
// Windows module's name it is fixed for the life of the process (and a later
// read would name a replaced or deleted file differently).
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <string>

#include "windows.h"

namespace {

// The path once read, never freed; null until a read has succeeded.
std::atomic<const std::string*> g_exePath{nullptr};

// The cached path, or null with the Windows error set.
const std::string* ExePath() {
  const std::string* cached = g_exePath.load(std::memory_order_acquire);
  if (cached) return cached;
  std::string* path = new (std::nothrow) std::string;
  if (!path) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  try {
    // The link's length is not known in advance: grow until it fits.
    for (size_t size = 256; size <= (1u << 20); size *= 2) {
      path->resize(size);
      ssize_t n = readlink("/proc/self/exe", &(*path)[0], size);
      if (n < 0) {
        delete path;
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
      }
      if (static_cast<size_t>(n) < size) {
        path->resize(static_cast<size_t>(n));
        break;
      }
    }
  } catch (...) {
    delete path;
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  const std::string* expected = nullptr;
  if (!g_exePath.compare_exchange_strong(expected, path, std::memory_order_acq_rel)) {
    delete path;  // another thread read it first: the same path
    return expected;
  }
  return path;
}

}  // namespace

extern "C" {

DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize) {
  if (hModule) {
    // Only the executable has a name here; a library handle is not a module.
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
  }
  if (nSize > 0 && !lpFilename) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::string* cached = ExePath();
  if (!cached) return 0;
  const std::string& path = *cached;
  if (nSize == 0) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (path.size() < nSize) {
    memcpy(lpFilename, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
  }
  // Too small: as on Windows, the path cut to fit, terminated, and nSize.
  memcpy(lpFilename, path.data(), nSize - 1);
  lpFilename[nSize - 1] = '\0';
  SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return nSize;
}

}  // extern "C"
