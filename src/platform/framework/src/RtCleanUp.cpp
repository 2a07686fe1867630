// The registry of objects destroyed at framework shutdown.
#include "RtCleanUp.h"

#include <stdint.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "RtHost.h"
#include "RtTrace.h"

namespace {

// Registered objects in registration order, each with a serial number so
// that the shutdown can tell its object from a new one at the same address.
struct Registry {
  std::mutex lock;
  std::vector<std::pair<CRtCleanUpBase*, uint64_t>> objects;
  uint64_t nextSerial = 1;
};

// Never destroyed: objects may unregister from static destructors.
Registry& TheRegistry() {
  static Registry* r = new Registry;
  return *r;
}

}  // namespace

CRtCleanUpBase::CRtCleanUpBase() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> g(r.lock);
  try {
    r.objects.emplace_back(this, r.nextSerial++);
  } catch (...) {
    // Not registered: the object lives on and is simply not cleaned up.
  }
}

CRtCleanUpBase::~CRtCleanUpBase() {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> g(r.lock);
  auto it = std::find_if(r.objects.rbegin(), r.objects.rend(),
                         [this](const std::pair<CRtCleanUpBase*, uint64_t>& p) { return p.first == this; });
  if (it != r.objects.rend()) r.objects.erase(std::next(it).base());
}

extern "C" void QmxFrameworkShutdown(void) {
  // One walk at a time: a second caller (another thread, or a CleanUp that
  // calls the shutdown again) would otherwise clean the same object twice.
  static std::atomic<bool> running{false};
  if (running.exchange(true)) return;
  RT_INFO_TRACE("QmxFrameworkShutdown");
  Registry& r = TheRegistry();
  for (;;) {
    std::pair<CRtCleanUpBase*, uint64_t> last;
    {
      std::lock_guard<std::mutex> g(r.lock);
      if (r.objects.empty()) break;
      last = r.objects.back();
    }
    // Unlocked: CleanUp usually deletes the object, whose destructor
    // unregisters it, and may register or destroy others.
    last.first->CleanUp();
    std::lock_guard<std::mutex> g(r.lock);
    // A CleanUp that kept its object alive: drop it from the registry anyway,
    // or the shutdown would call it forever.
    auto it = std::find(r.objects.begin(), r.objects.end(), last);
    if (it != r.objects.end()) r.objects.erase(it);
  }
  running.store(false);
}
