// Reading replies and waiting for the peer to close: the same on every platform.
#include <cstdlib>

#include "tests/testkit/Helpers.h"
#include "tests/testkit/SocketIo.h"

namespace dralmin::test {
namespace {

using detail::Readable;
using detail::ReceiveSome;

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

}  // namespace

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
    const auto left = Left(deadline);
    if (left.count() <= 0 || !Readable(fd_, left)) return {};
    char buffer[65536];
    const long n = ReceiveSome(fd_, buffer, sizeof buffer);
    if (n <= 0) return {};
    pending_.append(buffer, static_cast<size_t>(n));
  }
}

bool Socket::WaitClosed(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = Left(deadline);
    if (left.count() <= 0 || !Readable(fd_, left)) return false;
    char buffer[4096];
    if (ReceiveSome(fd_, buffer, sizeof buffer) <= 0) return true;
  }
}

std::string BodyOf(const std::string& reply) {
  const auto end = reply.find("\r\n\r\n");
  return end == std::string::npos ? std::string() : reply.substr(end + 4);
}

}  // namespace dralmin::test
