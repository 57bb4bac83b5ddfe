// The loopback sockets of Helpers.h: the same on every platform.
#include <cstdlib>

#include "simulators/LoopbackSocket.h"
#include "tests/testkit/Helpers.h"

namespace dralmin::test {
namespace {

// Content-Length of a reply head, or 0.
size_t ContentLength(const std::string& head) {
  const auto at = head.find("Content-Length: ");
  if (at == std::string::npos) return 0;
  return std::strtoul(head.c_str() + at + 16, nullptr, 10);
}

std::chrono::milliseconds Left(std::chrono::steady_clock::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                               std::chrono::steady_clock::now());
}

// Waits for the socket to become readable within the time left; false on timeout or error.
bool Readable(int fd, std::chrono::milliseconds left) {
  return left.count() > 0 && loopback::WaitReadable({fd}, left) == 0;
}

}  // namespace

uint16_t FreePort() {
  const int fd = loopback::Listen(0);
  const uint16_t port = loopback::PortOf(fd);
  loopback::Close(fd);
  return port;
}

Socket::Socket(uint16_t port) : fd_(loopback::Connect(port)) {}

Socket::~Socket() {
  loopback::Close(fd_);
}

bool Socket::Send(const std::string& bytes) {
  return loopback::SendAll(fd_, bytes);
}

void Socket::Reset() {
  loopback::Close(fd_, true);
  fd_ = -1;
}

std::string Socket::ReadReply(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto complete = [this]() -> size_t {
    const auto end = pending_.find("\r\n\r\n");
    if (end == std::string::npos) return 0;
    const size_t total = end + 4 + ContentLength(pending_.substr(0, end + 4));
    return pending_.size() >= total ? total : 0;
  };
  for (;;) {
    if (const size_t total = complete()) {
      std::string reply = pending_.substr(0, total);
      pending_.erase(0, total);
      return reply;
    }
    if (!Readable(fd_, Left(deadline))) return {};
    char buffer[65536];
    const long n = loopback::Receive(fd_, buffer, sizeof buffer);
    if (n <= 0) return {};
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

bool Socket::WaitClosed(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (!Readable(fd_, Left(deadline))) return false;
    char buffer[4096];
    if (loopback::Receive(fd_, buffer, sizeof buffer) <= 0) return true;
  }
}

HeldPort::HeldPort() : fd_(loopback::Listen(0)), port_(loopback::PortOf(fd_)) {}

HeldPort::~HeldPort() {
  loopback::Close(fd_);
}

std::string BodyOf(const std::string& reply) {
  const auto end = reply.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : reply.substr(end + 4);
}

}  // namespace dralmin::test
