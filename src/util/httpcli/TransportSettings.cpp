#include "TransportSettings.h"

#include <atomic>
#include <mutex>

namespace TransportSettings {

namespace {

const DWORD kDefaultSyncConnectMs = 6000;
const DWORD kDefaultStallMs = 30000;

std::atomic<bool> g_relaxedTls(false);
std::atomic<DWORD> g_connectMs(0);
std::atomic<DWORD> g_stallMs(0);
std::atomic<DWORD> g_totalMs(0);
std::atomic<int> g_inviteCount(0);

std::mutex g_diagnosisLock;
Diagnosis g_diagnosis = {0, 0, 0};

}  // namespace

bool RelaxedTls() { return g_relaxedTls.load(); }
void SetRelaxedTls(bool relaxed) { g_relaxedTls.store(relaxed); }

DWORD ConnectTimeoutMs() { return g_connectMs.load(); }
DWORD SyncConnectTimeoutMs() {
  const DWORD ms = g_connectMs.load();
  return ms ? ms : kDefaultSyncConnectMs;
}
DWORD StallTimeoutMs() {
  const DWORD ms = g_stallMs.load();
  return ms ? ms : kDefaultStallMs;
}
DWORD TotalTimeoutMs() { return g_totalMs.load(); }

void SetTimeouts(DWORD connectMs, DWORD stallMs, DWORD totalMs) {
  g_connectMs.store(connectMs);
  g_stallMs.store(stallMs);
  g_totalMs.store(totalMs);
}

void SetDiagnosis(const Diagnosis& d) {
  std::lock_guard<std::mutex> lock(g_diagnosisLock);
  g_diagnosis = d;
}

Diagnosis LastDiagnosis() {
  std::lock_guard<std::mutex> lock(g_diagnosisLock);
  return g_diagnosis;
}

void SetInviteCount(int count) { g_inviteCount.store(count); }
int InviteCount() { return g_inviteCount.load(); }

}  // namespace TransportSettings
