#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "simulators/LoopbackSocket.h"

namespace dralmin::loopback {

int Listen(std::uint16_t port, bool ipv6, std::string* error) {
  const int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  v4.sin_port = htons(port);
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  v6.sin6_addr = in6addr_loopback;
  v6.sin6_port = htons(port);
  const int on = 1;
  // A fixed port can be taken again at once after a restart.
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  const bool listening =
      fd >= 0 &&
      (ipv6 ? bind(fd, reinterpret_cast<sockaddr*>(&v6), sizeof v6)
            : bind(fd, reinterpret_cast<sockaddr*>(&v4), sizeof v4)) == 0 &&
      listen(fd, 16) == 0;
  if (listening) return fd;
  if (error != nullptr) *error = std::strerror(errno);
  if (fd >= 0) close(fd);
  return -1;
}

std::uint16_t PortOf(int socket) {
  sockaddr_storage address{};
  socklen_t length = sizeof address;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.ss_family == AF_INET6
                   ? reinterpret_cast<const sockaddr_in6&>(address).sin6_port
                   : reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

int Accept(int listener) {
  return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

int Connect(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    Close(fd);
    return -1;
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

int WaitReadable(const std::vector<int>& sockets, std::chrono::milliseconds timeout) {
  std::vector<pollfd> entries;
  for (const int socket : sockets) entries.push_back({socket, POLLIN, 0});
  const int limit = timeout.count() < 0 ? -1 : static_cast<int>(timeout.count());
  int ready;
  do {
    ready = poll(entries.data(), entries.size(), limit);
  } while (ready < 0 && errno == EINTR);
  for (size_t i = 0; ready > 0 && i < entries.size(); ++i) {
    if (entries[i].revents != 0) return static_cast<int>(i);
  }
  return -1;
}

long Receive(int socket, char* buffer, std::size_t size) {
  ssize_t got;
  do {
    got = recv(socket, buffer, size, 0);
  } while (got < 0 && errno == EINTR);
  return got;
}

bool SendAll(int socket, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t sent = send(socket, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

std::size_t Unread(int socket) {
  int unread = 0;
  return ioctl(socket, FIONREAD, &unread) == 0 ? static_cast<std::size_t>(unread) : 0;
}

void Close(int socket, bool reset) {
  if (socket < 0) return;
  if (reset) {
    const linger abort{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  }
  close(socket);
}

}  // namespace dralmin::loopback
