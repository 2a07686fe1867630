// Framework shutdown: registered objects are cleaned up, last first and once
// each, and an object's CleanUp may delete others and register new ones.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "qmxframework.h"

namespace {

std::string g_log;

struct CLogged : CRtCleanUpBase {
  explicit CLogged(char name, std::function<void()> onCleanUp = nullptr)
      : m_name(name), m_onCleanUp(std::move(onCleanUp)) {}
  ~CLogged() override { g_log += m_name; }
  void CleanUp() override {
    if (m_onCleanUp) m_onCleanUp();
    CRtCleanUpBase::CleanUp();
  }
  char m_name;
  std::function<void()> m_onCleanUp;
};

// An object whose CleanUp keeps it.
struct CKeptAlive : CRtCleanUpBase {
  void CleanUp() override { ++m_calls; }
  int m_calls = 0;
};

TEST(CleanUpTest, ShutdownCleansUpLastRegisteredFirstOnceEach) {
  CKeptAlive kept;
  CLogged* a = new CLogged('a');
  new CLogged('b');
  delete new CLogged('x');  // gone before the shutdown: unregistered
  // c deletes a (not yet cleaned) and makes d, which is cleaned next.
  new CLogged('c', [a] {
    delete a;
    new CLogged('d');
  });
  g_log.clear();
  QmxFrameworkShutdown();
  EXPECT_EQ(g_log, "acdb");
  QmxFrameworkShutdown();  // nothing left
  EXPECT_EQ(g_log, "acdb");
  EXPECT_EQ(kept.m_calls, 1);
}

}  // namespace
