// Framework shutdown: registered objects are cleaned up, last first, and an
// object's CleanUp may delete itself or others.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "RtTraceCapture.h"
#include "qmxframework.h"

namespace {

std::string g_log;

class CLogged : public CRtCleanUpBase {
 public:
  explicit CLogged(char name, std::function<void()> onCleanUp = nullptr)
      : m_name(name), m_onCleanUp(std::move(onCleanUp)) {}
  ~CLogged() override { g_log += m_name; }
  void CleanUp() override {
    if (m_onCleanUp) m_onCleanUp();
    CRtCleanUpBase::CleanUp();
  }

 private:
  char m_name;
  std::function<void()> m_onCleanUp;
};

class CleanUpTest : public ::testing::Test {
 protected:
  void SetUp() override { g_log.clear(); }
};

TEST_F(CleanUpTest, ShutdownDeletesLastRegisteredFirst) {
  new CLogged('a');
  new CLogged('b');
  delete new CLogged('x');  // gone before the shutdown: unregistered
  g_log.clear();
  new CLogged('c');
  QmxFrameworkShutdown();
  EXPECT_EQ(g_log, "cba");
  QmxFrameworkShutdown();  // nothing left
  EXPECT_EQ(g_log, "cba");
}

TEST_F(CleanUpTest, CleanUpMayDeleteOthersAndRegisterNewOnes) {
  CLogged* a = new CLogged('a');
  new CLogged('b');
  // c deletes a (not yet cleaned) and makes d, which is cleaned next.
  new CLogged('c', [a] {
    delete a;
    new CLogged('d');
  });
  QmxFrameworkShutdown();
  EXPECT_EQ(g_log, "acdb");
}

class CKeptAlive : public CRtCleanUpBase {
 public:
  void CleanUp() override { ++m_calls; }
  int m_calls = 0;
};

TEST_F(CleanUpTest, CleanUpThatKeepsItsObjectIsCalledOnce) {
  CKeptAlive kept;
  QmxFrameworkShutdown();
  QmxFrameworkShutdown();
  EXPECT_EQ(kept.m_calls, 1);
}

}  // namespace
