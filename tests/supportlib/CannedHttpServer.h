#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "simulators/LoopbackSocket.h"

namespace dralmin::test {

// An HTTP server on 127.0.0.1 that answers each request, one connection at a time, with the raw
// bytes given for its path and then closes the connection; unknown paths get a 404.
class CannedHttpServer {
 public:
  explicit CannedHttpServer(std::map<std::string, std::string> answers);

  std::string Url(const std::string& path) const;

  // "HTTP/1.1 <status>" with a Content-Length and the body.
  static std::string Reply(int status, const std::string& body);

 private:
  void Serve(int connection);

  std::map<std::string, std::string> answers_;
  loopback::Server server_;  // last: stopped before the answers go
};

}  // namespace dralmin::test
