#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <thread>

namespace dralmin::test {

// An HTTP server on 127.0.0.1 that answers each request, one connection at a time, with the raw
// bytes given for its path and then closes the connection; unknown paths get a 404.
class CannedHttpServer {
 public:
  explicit CannedHttpServer(std::map<std::string, std::string> answers);
  ~CannedHttpServer();
  CannedHttpServer(const CannedHttpServer&) = delete;
  CannedHttpServer& operator=(const CannedHttpServer&) = delete;

  std::string Url(const std::string& path) const;

  // "HTTP/1.1 <status>" with a Content-Length and the body.
  static std::string Reply(int status, const std::string& body);

 private:
  void Serve();

  std::map<std::string, std::string> answers_;
  int listener_ = -1;
  int stopPipe_[2] = {-1, -1};
  uint16_t port_ = 0;
  std::thread thread_;
};

}  // namespace dralmin::test
