// Winsock sockets kept in ints: their values are small, and -1 is INVALID_SOCKET.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/WideText.h"
#include "simulators/LoopbackSocket.h"

namespace dralmin::loopback {
namespace {

SOCKET AsSocket(int socket) {
  return socket < 0 ? INVALID_SOCKET : static_cast<SOCKET>(socket);
}

int AsInt(SOCKET socket) {
  return socket == INVALID_SOCKET ? -1 : static_cast<int>(socket);
}

// Winsock before the first socket of the process; it stays up until the process ends.
SOCKET OpenSocket(int family) {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started ? WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                              WSA_FLAG_NO_HANDLE_INHERIT)
                 : INVALID_SOCKET;
}

}  // namespace

int Listen(std::uint16_t port, bool ipv6, std::string* error) {
  const SOCKET fd = OpenSocket(ipv6 ? AF_INET6 : AF_INET);
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  v4.sin_port = htons(port);
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  v6.sin6_addr = in6addr_loopback;
  v6.sin6_port = htons(port);
  // Exclusive, so that no other program binds the same port beside it, as Windows allows.
  BOOL on = TRUE;
  if (fd != INVALID_SOCKET) {
    setsockopt(fd, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
  }
  const bool listening =
      fd != INVALID_SOCKET &&
      (ipv6 ? bind(fd, reinterpret_cast<sockaddr*>(&v6), sizeof v6)
            : bind(fd, reinterpret_cast<sockaddr*>(&v4), sizeof v4)) == 0 &&
      listen(fd, 16) == 0;
  if (listening) return AsInt(fd);
  if (error != nullptr) *error = SystemErrorText(static_cast<unsigned long>(WSAGetLastError()));
  if (fd != INVALID_SOCKET) closesocket(fd);
  return -1;
}

std::uint16_t PortOf(int socket) {
  sockaddr_storage address{};
  int length = sizeof address;
  if (getsockname(AsSocket(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
  return ntohs(address.ss_family == AF_INET6
                   ? reinterpret_cast<const sockaddr_in6&>(address).sin6_port
                   : reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

int Accept(int listener) {
  return AsInt(accept(AsSocket(listener), nullptr, nullptr));
}

int Connect(std::uint16_t port) {
  const SOCKET fd = OpenSocket(AF_INET);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  if (fd == INVALID_SOCKET ||
      connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    Close(AsInt(fd));
    return -1;
  }
  BOOL on = TRUE;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  return AsInt(fd);
}

int WaitReadable(const std::vector<int>& sockets, std::chrono::milliseconds timeout) {
  std::vector<WSAPOLLFD> entries;
  for (const int socket : sockets) entries.push_back({AsSocket(socket), POLLRDNORM, 0});
  const INT limit = timeout.count() < 0 ? -1 : static_cast<INT>(timeout.count());
  const int ready = WSAPoll(entries.data(), static_cast<ULONG>(entries.size()), limit);
  for (size_t i = 0; ready > 0 && i < entries.size(); ++i) {
    if (entries[i].revents != 0) return static_cast<int>(i);
  }
  return -1;
}

long Receive(int socket, char* buffer, std::size_t size) {
  return recv(AsSocket(socket), buffer, static_cast<int>(size), 0);
}

bool SendAll(int socket, std::string_view bytes) {
  while (!bytes.empty()) {
    const int sent = send(AsSocket(socket), bytes.data(), static_cast<int>(bytes.size()), 0);
    if (sent <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(sent));
  }
  return true;
}

std::size_t Unread(int socket) {
  u_long unread = 0;
  return ioctlsocket(AsSocket(socket), FIONREAD, &unread) == 0 ? unread : 0;
}

void Close(int socket, bool reset) {
  if (socket < 0) return;
  if (reset) {
    const linger abort{1, 0};
    setsockopt(AsSocket(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
               sizeof abort);
  }
  closesocket(AsSocket(socket));
}

}  // namespace dralmin::loopback
