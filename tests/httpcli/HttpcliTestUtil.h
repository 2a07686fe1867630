// Helpers shared by the HTTP client tests: the owner thread's event loop, a
// sink that records what it is told, and scratch directories.
#ifndef QMX_TESTS_HTTPCLI_TESTUTIL_H
#define QMX_TESTS_HTTPCLI_TESTUTIL_H

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "RtHost.h"
#include "SiteClient.h"

namespace httpcli_test {

// Gives the calling thread its event queue for the life of the object.
class OwnerLoop {
 public:
  OwnerLoop() { QmxThreadAttach(); }
  ~OwnerLoop() { QmxThreadDetach(); }
  // Runs the queue until pred holds or a generous deadline passes.
  bool RunUntil(const std::function<bool()>& pred, int deadlineMs = 20000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(deadlineMs);
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return false;
      QmxThreadRun(20);
    }
    return true;
  }
  int RunPending() { return QmxThreadRunPending(); }
};

struct Delivery {
  DWORD key;
  int result;
  std::string content;
};

class RecordingSink : public ISiteClientSink {
 public:
  int OnRequest(DWORD hRequest, int aResult, CRtString& aContent) override {
    deliveries.push_back(Delivery{hRequest, aResult, aContent});
    return 0;
  }
  std::vector<Delivery> deliveries;
};

// The record folder the test program was given (QMX_RECORD_DIR), ending in "/".
inline std::string RecordDir() {
  const char* dir = getenv("QMX_RECORD_DIR");
  return std::string(dir ? dir : ".") + "/";
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A fresh directory removed with everything in it at the end.
class ScratchDir {
 public:
  ScratchDir() : m_path(std::filesystem::temp_directory_path().string() + "/httpcli-XXXXXX") { mkdtemp(m_path.data()); }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

// Points the record folder at a fresh directory of this test alone, so
// that no other test program's site deletes the record it reads back.
class OwnRecordDir {
 public:
  OwnRecordDir() : m_had(getenv("QMX_RECORD_DIR")), m_old(m_had ? getenv("QMX_RECORD_DIR") : "") {
    setenv("QMX_RECORD_DIR", m_dir.path().c_str(), 1);
  }
  ~OwnRecordDir() { m_had ? setenv("QMX_RECORD_DIR", m_old.c_str(), 1) : unsetenv("QMX_RECORD_DIR"); }

 private:
  ScratchDir m_dir;
  bool m_had;
  std::string m_old;
};

}  // namespace httpcli_test

#endif
