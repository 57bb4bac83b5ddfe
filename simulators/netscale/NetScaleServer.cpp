#include "simulators/netscale/NetScaleServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace dralmin {
namespace {

void WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      return;
    }
  }
}

}  // namespace

NetScaleServer::NetScaleServer(Responder responder, std::uint16_t port)
    : responder_(std::move(responder)) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  const int on = 1;
  setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  socklen_t length = sizeof address;
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 16) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const std::string error = std::strerror(errno);
    close(listener_);
    throw std::runtime_error("cannot listen on port " + std::to_string(port) + ": " + error);
  }
  port_ = ntohs(address.sin_port);
  int wake[2];
  if (pipe2(wake, O_CLOEXEC) != 0) {
    close(listener_);
    throw std::runtime_error("pipe failed");
  }
  wakeRead_ = wake[0];
  wakeWrite_ = wake[1];
  thread_ = std::thread(&NetScaleServer::Run, this);
}

NetScaleServer::~NetScaleServer() {
  const char wake = 'x';
  while (write(wakeWrite_, &wake, 1) < 0 && errno == EINTR) {
  }
  thread_.join();
  close(wakeRead_);
  close(wakeWrite_);
  close(listener_);
}

std::vector<std::string> NetScaleServer::Paths() const {
  std::lock_guard lock(mutex_);
  return paths_;
}

void NetScaleServer::Run() {
  for (;;) {
    pollfd fds[2] = {{listener_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    const int connection = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) continue;
    Serve(connection);
    close(connection);
  }
}

void NetScaleServer::Serve(int connection) {
  // The head only; a scale's page is fetched with GET, which has no body.
  std::string request;
  char bytes[1024];
  while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384) {
    pollfd ready{connection, POLLIN, 0};
    if (poll(&ready, 1, 5000) <= 0) return;
    const ssize_t n = recv(connection, bytes, sizeof bytes, 0);
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
  WriteAll(connection, "HTTP/1.1 " + std::to_string(page.status) +
                           " Scale\r\nContent-Type: text/plain\r\nContent-Length: " +
                           std::to_string(page.body.size()) + "\r\nConnection: close\r\n\r\n" +
                           page.body);
}

}  // namespace dralmin
