// What the adapter tests share: a sink that records the join's outcome and
// hands it to the loop under test, and the simulator's expected loader
// address.
#ifndef QMX_TESTS_ADAPTERS_HOST_H
#define QMX_TESTS_ADAPTERS_HOST_H

#include <functional>
#include <string>
#include <vector>

#include "IConfWeba.h"

struct LoopSink : IConfWebaSink {
  void OnInviteByEmails(int result) override {
    invites.push_back(result);
    if (onReply) onReply();
  }
  void OnJoinConference(int result, const CRtString& url, const CRtString&, const CRtString&) override {
    joins.push_back(result);
    loaderUrl = url;
    if (onReply) onReply();
  }
  std::vector<int> joins, invites;
  std::string loaderUrl;
  std::function<void()> onReply;
};

#endif
