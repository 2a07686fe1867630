// loopback_serve: runs a LoopbackServer with a fixed set of routes until its
// standard input closes; prints "port N" first. Used to put a real WinINet
// (under Wine) and this layer in front of the same server.
//
// Routes: /hello (200, 5 bytes), /chunked (chunked, 3000 bytes), /close
// (close-delimited, 3000 bytes), /stall (2 bytes, then held until a line is
// read from stdin), /auth (401 Basic realm "probe"), /short (announces 100,
// sends 10), /redirect (302 to /hello), /endless-body, /endless-headers,
// /endless-trailers (replies without end, until the client goes away).
// Any other target gets the /hello reply.
#include <iostream>
#include <string>

#include "qmxloopback/LoopbackServer.h"

using namespace qmxloopback;

int main() {
  LoopbackServer server;
  std::string big;
  for (int i = 0; i < 3000; ++i) big += static_cast<char>('a' + i % 26);
  server.SetHandler([&big](const ReceivedRequest& req) {
    const std::string& p = req.target;
    Reply r = Reply::Text(200, "hello");
    if (p == "/chunked" || p == "/close")
      r.body = big, r.framing = p == "/close" ? Reply::Framing::kClose : Reply::Framing::kChunked;
    else if (p == "/stall")
      r.body = "ab0123456789", r.stallAfterBody = 2;
    else if (p == "/auth")
      r = Reply::BasicChallenge("probe");
    else if (p == "/short")
      r.body = "0123456789", r.contentLength = 100;
    else if (p == "/redirect")
      r.status = 302, r.body = "moved", r.headers.push_back({"Location", "/hello"});
    r.endlessBody = p == "/endless-body";
    r.endlessHeaders = p == "/endless-headers";
    r.endlessTrailers = p == "/endless-trailers";
    if (r.endlessBody) r.framing = Reply::Framing::kClose;
    return r;
  });
  if (!server.Start()) return 1;
  std::cout << "port " << server.Port() << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) server.ReleaseStalled();
  return 0;
}
