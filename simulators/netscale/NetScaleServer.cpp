#include "simulators/netscale/NetScaleServer.h"

namespace dralmin {

NetScaleServer::NetScaleServer(Responder responder, std::uint16_t port)
    : responder_(std::move(responder)),
      server_([this](int connection) { Serve(connection); }, port) {}

std::vector<std::string> NetScaleServer::Paths() const {
  std::lock_guard lock(mutex_);
  return paths_;
}

void NetScaleServer::Serve(int connection) {
  // The head only; a scale's page is fetched with GET, which has no body.
  std::string request;
  char bytes[1024];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384) {
    if (loopback::WaitReadable({connection}, std::chrono::seconds(5)) != 0) return;
    const long n = loopback::Receive(connection, bytes, sizeof bytes);
    if (n <= 0) return;
    request.append(bytes, static_cast<size_t>(n));
  }
  const size_t start = request.find(' ');
  const size_t end = request.find(' ', start + 1);
  const std::string path = start == std::string::npos || end == std::string::npos
                               ? std::string()
                               : request.substr(start + 1, end - start - 1);
  {
    std::lock_guard lock(mutex_);
    paths_.push_back(path);
  }
  const Page page = responder_(path);
  loopback::SendAll(connection, "HTTP/1.1 " + std::to_string(page.status) +
                                    " Scale\r\nContent-Type: text/plain\r\nContent-Length: " +
                                    std::to_string(page.body.size()) +
                                    "\r\nConnection: close\r\n\r\n" + page.body);
}

}  // namespace dralmin
