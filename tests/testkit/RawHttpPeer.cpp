#include "tests/testkit/RawHttpPeer.h"

#include <map>

#include "simulators/LoopbackSocket.h"

namespace dralmin::test {

RawHttpPeer::RawHttpPeer(std::string answer, Then then)
    : answer_(std::move(answer)),
      then_(then),
      listener_(loopback::Listen(0)),
      port_(loopback::PortOf(listener_)) {
  if (listener_ >= 0) thread_ = std::thread(&RawHttpPeer::Serve, this);
}

RawHttpPeer::~RawHttpPeer() {
  if (thread_.joinable()) {
    // A connection of its own wakes the thread.
    stopping_ = true;
    loopback::Close(loopback::Connect(port_));
    thread_.join();
  }
  loopback::Close(listener_);
}

std::string RawHttpPeer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void RawHttpPeer::Serve() {
  std::map<int, std::string> heads;  // open connections and what they sent so far
  while (!stopping_) {
    std::vector<int> watched{listener_};
    for (const auto& [fd, head] : heads) watched.push_back(fd);
    const int ready = loopback::WaitReadable(watched, std::chrono::milliseconds(-1));
    if (ready == 0) {
      const int fd = loopback::Accept(listener_);
      if (fd >= 0) heads[fd];
      continue;
    }
    if (ready < 0) continue;
    const int fd = watched[static_cast<size_t>(ready)];
    char buffer[4096];
    const long got = loopback::Receive(fd, buffer, sizeof buffer);
    if (got <= 0) {
      loopback::Close(fd);
      heads.erase(fd);
      continue;
    }
    std::string& head = heads[fd];
    const bool complete = head.find("\r\n\r\n") != std::string::npos;
    head.append(buffer, static_cast<size_t>(got));
    if (complete || head.find("\r\n\r\n") == std::string::npos) continue;
    ++requests_;
    if (!answer_.empty()) loopback::SendAll(fd, answer_);
    if (then_ == Then::Close) {
      loopback::Close(fd);
      heads.erase(fd);
    }
  }
  for (const auto& [fd, head] : heads) loopback::Close(fd);
}

}  // namespace dralmin::test
