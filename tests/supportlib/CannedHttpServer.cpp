#include "tests/supportlib/CannedHttpServer.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace dralmin::test {

CannedHttpServer::CannedHttpServer(std::map<std::string, std::string> answers)
    : answers_(std::move(answers)) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(listener_, reinterpret_cast<sockaddr*>(&address), length);
  listen(listener_, 8);
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  if (pipe(stopPipe_) != 0) stopPipe_[0] = stopPipe_[1] = -1;
  thread_ = std::thread([this] { Serve(); });
}

CannedHttpServer::~CannedHttpServer() {
  if (write(stopPipe_[1], "x", 1) != 1) shutdown(listener_, SHUT_RDWR);
  thread_.join();
  close(listener_);
  close(stopPipe_[0]);
  close(stopPipe_[1]);
}

std::string CannedHttpServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string CannedHttpServer::Reply(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) +
         " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
         body;
}

void CannedHttpServer::Serve() {
  for (;;) {
    pollfd entries[2] = {{listener_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (poll(entries, 2, -1) < 0 || entries[1].revents != 0) return;
    const int connection = accept(listener_, nullptr, nullptr);
    if (connection < 0) continue;
    std::string request;
    char buffer[1024];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const ssize_t got = read(connection, buffer, sizeof buffer);
      if (got <= 0) break;
      request.append(buffer, static_cast<size_t>(got));
    }
    const auto pathStart = request.find(' ') + 1;
    const std::string path = request.substr(pathStart, request.find(' ', pathStart) - pathStart);
    const auto answer = answers_.find(path);
    const std::string reply = answer != answers_.end() ? answer->second : Reply(404, "missing");
    size_t sent = 0;
    while (sent < reply.size()) {
      const ssize_t n = send(connection, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    close(connection);
  }
}

}  // namespace dralmin::test
