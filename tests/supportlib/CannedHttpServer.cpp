#include "tests/supportlib/CannedHttpServer.h"

namespace dralmin::test {

CannedHttpServer::CannedHttpServer(std::map<std::string, std::string> answers)
    : answers_(std::move(answers)), server_([this](int connection) { Serve(connection); }) {}

std::string CannedHttpServer::Url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(server_.port()) + path;
}

std::string CannedHttpServer::Reply(int status, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) +
         " X\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" +
         body;
}

void CannedHttpServer::Serve(int connection) {
  std::string request;
  char buffer[1024];
  while (request.find("\r\n\r\n") == std::string::npos) {
    const long got = loopback::Receive(connection, buffer, sizeof buffer);
    if (got <= 0) break;
    request.append(buffer, static_cast<size_t>(got));
  }
  const auto pathStart = request.find(' ') + 1;
  const std::string path = request.substr(pathStart, request.find(' ', pathStart) - pathStart);
  const auto answer = answers_.find(path);
  loopback::SendAll(connection, answer != answers_.end() ? answer->second : Reply(404, "missing"));
}

}  // namespace dralmin::test
