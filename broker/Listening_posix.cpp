#include "broker/Listening.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/PeerOwner.h"

namespace dralmin {

int OpenTcpListener(const std::string& address, std::uint16_t port, int& error) {
  sockaddr_storage storage{};
  socklen_t size = 0;
  auto& in = reinterpret_cast<sockaddr_in&>(storage);
  auto& in6 = reinterpret_cast<sockaddr_in6&>(storage);
  if (inet_pton(AF_INET, address.c_str(), &in.sin_addr) == 1) {
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    size = sizeof in;
  } else if (inet_pton(AF_INET6, address.c_str(), &in6.sin6_addr) == 1) {
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    size = sizeof in6;
  } else {
    error = EINVAL;
    return -1;
  }
  const int fd = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  const int on = 1;
  // SO_REUSEADDR only lets the port be bound past connections still in TIME_WAIT.
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (storage.ss_family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  if (bind(fd, reinterpret_cast<sockaddr*>(&storage), size) != 0 || listen(fd, SOMAXCONN) != 0) {
    error = errno;
    close(fd);
    return -1;
  }
  return fd;
}

bool IsNoIpv6(int error) {
  return error == EADDRNOTAVAIL || error == EAFNOSUPPORT;
}

namespace {

socklen_t LocalAddress(const std::string& name, sockaddr_un& address) {
  address = {};
  address.sun_family = AF_UNIX;
  const std::size_t size = std::min(name.size(), sizeof address.sun_path - 1);
  std::memcpy(address.sun_path, name.data(), size);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size +
                                (name.empty() || name[0] == '\0' ? 0 : 1));
}

}  // namespace

int OpenLocalListener(const std::string& name, int& error) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  sockaddr_un address;
  const socklen_t size = LocalAddress(name, address);
  const bool onDisk = !name.empty() && name[0] != '\0';
  if (onDisk) {
    // A socket left by a predecessor that did not end cleanly; anything else stays.
    struct stat old {};
    if (lstat(name.c_str(), &old) == 0 && S_ISSOCK(old.st_mode)) unlink(name.c_str());
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      (onDisk && chmod(name.c_str(), 0666) != 0) || listen(fd, SOMAXCONN) != 0) {
    error = errno;
    close(fd);
    return -1;
  }
  return fd;
}

int ConnectLocal(const std::string& name, int& error) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  sockaddr_un address;
  const socklen_t size = LocalAddress(name, address);
  int result;
  do {
    result = connect(fd, reinterpret_cast<sockaddr*>(&address), size);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    error = errno;
    close(fd);
    return -1;
  }
  return fd;
}

std::string ListenFailure(const std::string& address, std::uint16_t port, int error) {
  if (error == EADDRINUSE) {
    std::string why;
    PeerOwners owners;
    const auto holder = owners.OfListener(address, port, why);
    return holder ? "Address already in use, " + DescribeHolder(*holder) : "Address already in use";
  }
  if (error == EACCES) return "Permission denied";
  if (error == EADDRNOTAVAIL) return "this machine has no such address";
  if (error == EINVAL) return "not an IP address";
  return std::strerror(error);
}

}  // namespace dralmin
