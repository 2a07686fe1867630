// Helpers shared by the HTTP client tests: the owner thread's event loop, a
// sink that records what it is told, and scratch directories.
#ifndef QMX_TESTS_HTTPCLI_TESTUTIL_H
#define QMX_TESTS_HTTPCLI_TESTUTIL_H

#include <stdlib.h>

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
};

struct Delivery {
  DWORD key;
  int result;
  std::string content;
};

struct RecordingSink : ISiteClientSink {
  int OnRequest(DWORD hRequest, int aResult, CRtString& aContent) override {
    deliveries.push_back(Delivery{hRequest, aResult, aContent});
    return 0;
  }
  std::vector<Delivery> deliveries;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A fresh directory removed with everything in it at the end.
struct ScratchDir {
  ScratchDir() { mkdtemp(m_path.data()); }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  const std::string& path() const { return m_path; }
  std::string m_path = std::filesystem::temp_directory_path().string() + "/httpcli-XXXXXX";
};

// Points the record folder at a fresh directory of this test alone, so
// that no other test program's site deletes the record it reads back. The
// program's own folder is put back (ctest always sets one).
struct OwnRecordDir : ScratchDir {
  OwnRecordDir() { setenv("QMX_RECORD_DIR", path().c_str(), 1); }
  ~OwnRecordDir() { setenv("QMX_RECORD_DIR", m_old.c_str(), 1); }
  std::string m_old = getenv("QMX_RECORD_DIR") ? getenv("QMX_RECORD_DIR") : "";
};

}  // namespace httpcli_test

#endif
