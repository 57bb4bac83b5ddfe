// The test helpers on Winsock. Socket handles are kept in the int fields of Helpers.h: their
// values are small, and -1 is INVALID_SOCKET.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "tests/testkit/Helpers.h"
#include "tests/testkit/SocketIo.h"

namespace dralmin::test {
namespace {

SOCKET AsSocket(int fd) {
  return fd < 0 ? INVALID_SOCKET : static_cast<SOCKET>(fd);
}

int AsInt(SOCKET socket) {
  return socket == INVALID_SOCKET ? -1 : static_cast<int>(socket);
}

// Winsock before the first socket of the process; it stays up until the process ends.
SOCKET OpenSocket() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started ? socket(AF_INET, SOCK_STREAM, IPPROTO_TCP) : INVALID_SOCKET;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

bool detail::Readable(int fd, std::chrono::milliseconds left) {
  WSAPOLLFD waiting{AsSocket(fd), POLLRDNORM, 0};
  return WSAPoll(&waiting, 1, static_cast<INT>(left.count())) > 0;
}

long detail::ReceiveSome(int fd, char* buffer, size_t size) {
  return recv(AsSocket(fd), buffer, static_cast<int>(size), 0);
}

uint16_t FreePort() {
  const SOCKET fd = OpenSocket();
  sockaddr_in address = Loopback(0);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  int length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  closesocket(fd);
  return ntohs(address.sin_port);
}

Socket::Socket(uint16_t port) {
  const SOCKET fd = OpenSocket();
  sockaddr_in address = Loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    closesocket(fd);
    return;
  }
  BOOL one = TRUE;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
  fd_ = AsInt(fd);
}

Socket::~Socket() {
  if (fd_ >= 0) closesocket(AsSocket(fd_));
}

bool Socket::Send(const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const int n = send(AsSocket(fd_), bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

void Socket::Reset() {
  const linger reset{1, 0};
  setsockopt(AsSocket(fd_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset),
             sizeof reset);
  closesocket(AsSocket(fd_));
  fd_ = -1;
}

HeldPort::HeldPort() {
  const SOCKET fd = OpenSocket();
  fd_ = AsInt(fd);
  // Exclusive, as a port held by another program is on Windows.
  BOOL one = TRUE;
  setsockopt(fd, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
  sockaddr_in address = Loopback(0);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 1) != 0) {
    return;
  }
  int length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
}

HeldPort::~HeldPort() {
  if (fd_ >= 0) closesocket(AsSocket(fd_));
}

TempFolder::TempFolder() {
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (unsigned n = GetCurrentProcessId() * 1000 + GetTickCount() % 1000;; ++n) {
    const std::filesystem::path candidate = base / ("dralmin-test-" + std::to_string(n));
    std::error_code error;
    if (std::filesystem::create_directory(candidate, error)) {
      path_ = candidate.string();
      return;
    }
    if (error) return;  // no temporary folder at all
  }
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

void SetEnvironment(const char* name, const std::string& value) {
  _putenv_s(name, value.c_str());  // an empty value removes the variable
}

}  // namespace dralmin::test
