// loopback_serve: runs a LoopbackServer with a fixed set of routes until its
// standard input closes; prints "port N" first. Used to put a real WinINet
// (under Wine) and this layer in front of the same server.
//
// Routes: /hello (200, 5 bytes), /chunked (chunked, 3000 bytes), /close
// (close-delimited, 3000 bytes), /stall (2 bytes, then held until a line is
// read from stdin), /auth (401 Basic realm "probe"), /short (announces 100,
// sends 10), /redirect (302 to /hello), /endless-body, /endless-headers,
// /endless-trailers (replies without end, until the client goes away).
#include <cstdio>
#include <iostream>
#include <string>

#include "qmxloopback/LoopbackServer.h"

using namespace qmxloopback;

int main() {
  LoopbackServer server;
  if (!server.Start()) return 1;
  server.Route("/hello", [](const ReceivedRequest&) { return Reply::Text(200, "hello"); });
  auto big = [](Reply::Framing f) {
    return [f](const ReceivedRequest&) {
      std::string body;
      for (int i = 0; i < 3000; ++i) body += static_cast<char>('a' + i % 26);
      Reply r = Reply::Text(200, body);
      r.framing = f;
      return r;
    };
  };
  server.Route("/chunked", big(Reply::Framing::kChunked));
  server.Route("/close", big(Reply::Framing::kClose));
  server.Route("/stall", [](const ReceivedRequest&) {
    Reply r = Reply::Text(200, "ab0123456789");
    r.stallAfterBody = 2;
    return r;
  });
  server.Route("/auth", [](const ReceivedRequest&) { return Reply::BasicChallenge("probe"); });
  server.Route("/short", [](const ReceivedRequest&) {
    Reply r = Reply::Text(200, "0123456789");
    r.contentLength = 100;
    return r;
  });
  server.Route("/redirect", [](const ReceivedRequest&) {
    Reply r = Reply::Text(302, "moved");
    r.headers.push_back({"Location", "/hello"});
    return r;
  });
  server.Route("/endless-body", [](const ReceivedRequest&) {
    Reply r = Reply::Text(200, "");
    r.endlessBody = true;
    r.framing = Reply::Framing::kClose;
    return r;
  });
  server.Route("/endless-headers", [](const ReceivedRequest&) {
    Reply r = Reply::Text(200, "never");
    r.endlessHeaders = true;
    return r;
  });
  server.Route("/endless-trailers", [](const ReceivedRequest&) {
    Reply r = Reply::Text(200, "body");
    r.endlessTrailers = true;
    return r;
  });
  std::printf("port %u\n", server.Port());
  std::fflush(stdout);
  std::string line;
  while (std::getline(std::cin, line)) server.ReleaseStalled();
  server.Stop();
  return 0;
}
