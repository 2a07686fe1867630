// The executable's path, read from /proc/self/exe.
#include <string.h>
#include <unistd.h>

#include <string>

#include "windows.h"

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
  std::string path;
  try {
    // The link's length is not known in advance: grow until it fits.
    for (size_t size = 256; size <= (1u << 20); size *= 2) {
      path.resize(size);
      ssize_t n = readlink("/proc/self/exe", &path[0], size);
      if (n < 0) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
      }
      if (static_cast<size_t>(n) < size) {
        path.resize(static_cast<size_t>(n));
        break;
      }
    }
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
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
