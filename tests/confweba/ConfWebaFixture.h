// A host of libqmxconfweba.so with a conference-site simulator on 127.0.0.1,
// stopped in TearDown.
#ifndef QMX_TESTS_CONFWEBA_FIXTURE_H
#define QMX_TESTS_CONFWEBA_FIXTURE_H

#include <algorithm>
#include <memory>

#include "ModuleHost.h"
#include "SiteSimulator.h"

class ConfWebaTest : public ModuleHost {
 protected:
  void SetUp() override {
    ModuleHost::SetUp();
    std::string error;
    ASSERT_TRUE(m_sim->Start("127.0.0.1", 0, false, &error)) << error;
  }
  void TearDown() override {
    m_sim->Stop();
    ModuleHost::TearDown();
  }

  // Makes the site answer every request with body.
  void ReplyWith(const std::string& body) {
    sitesim::SiteFault f;
    f.kind = body.empty() ? sitesim::SiteFault::kEmptyBody : sitesim::SiteFault::kRawBody;
    f.body = body;
    m_sim->SetFault(f);
  }

  // The requests the site received for its XML interface.
  std::vector<sitesim::SiteRequest> XmlCalls() const {
    std::vector<sitesim::SiteRequest> calls = m_sim->Received();
    calls.erase(std::remove_if(calls.begin(), calls.end(),
                               [](const auto& r) { return r.path.find("XmlApiInvoker") == std::string::npos; }),
                calls.end());
    return calls;
  }

  std::unique_ptr<sitesim::CSiteSimulator> m_sim = std::make_unique<sitesim::CSiteSimulator>();
};

#endif
