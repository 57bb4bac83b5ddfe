#include "tests/testkit/RawHttpPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>

namespace dralmin::test {

RawHttpPeer::RawHttpPeer(std::string answer, Then then) : answer_(std::move(answer)), then_(then) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
      listen(listener_, 16) == 0 &&
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port_ = ntohs(address.sin_port);
  }
  if (pipe2(stopPipe_, O_CLOEXEC) != 0) return;
  thread_ = std::thread(&RawHttpPeer::Serve, this);
}

RawHttpPeer::~RawHttpPeer() {
  if (thread_.joinable()) {
    [[maybe_unused]] const ssize_t ignored = write(stopPipe_[1], "x", 1);
    thread_.join();
  }
  close(stopPipe_[0]);
  close(stopPipe_[1]);
  close(listener_);
}

std::string RawHttpPeer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void RawHttpPeer::Serve() {
  std::map<int, std::string> heads;  // open connections and what they sent so far
  for (;;) {
    std::vector<pollfd> watched{{stopPipe_[0], POLLIN, 0}, {listener_, POLLIN, 0}};
    for (const auto& [fd, head] : heads) watched.push_back({fd, POLLIN, 0});
    if (poll(watched.data(), watched.size(), -1) < 0) continue;
    if (watched[0].revents != 0) break;
    if (watched[1].revents != 0) {
      const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) heads[fd];
    }
    for (size_t i = 2; i < watched.size(); ++i) {
      if (watched[i].revents == 0) continue;
      const int fd = watched[i].fd;
      char buffer[4096];
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got <= 0) {
        close(fd);
        heads.erase(fd);
        continue;
      }
      std::string& head = heads[fd];
      const bool complete = head.find("\r\n\r\n") != std::string::npos;
      head.append(buffer, static_cast<size_t>(got));
      if (complete || head.find("\r\n\r\n") == std::string::npos) continue;
      ++requests_;
      if (!answer_.empty()) {
        [[maybe_unused]] const ssize_t sent =
            send(fd, answer_.data(), answer_.size(), MSG_NOSIGNAL);
      }
      if (then_ == Then::Close) {
        close(fd);
        heads.erase(fd);
      }
    }
  }
  for (const auto& [fd, head] : heads) close(fd);
}

}  // namespace dralmin::test
