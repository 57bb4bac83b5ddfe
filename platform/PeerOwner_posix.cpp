#include "platform/PeerOwner.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace dralmin {
namespace {

// An address and port as the diagnostics request wants them; IPv4 addresses reached through an
// IPv6 listener ("::ffff:a.b.c.d") are looked up as the IPv4 sockets they are.
struct Endpoint {
  int family = AF_UNSPEC;
  std::uint32_t address[4] = {};
  std::uint16_t port = 0;  // network order
};

Endpoint ToEndpoint(const sockaddr_storage& storage) {
  Endpoint e;
  if (storage.ss_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(storage);
    e.family = AF_INET;
    std::memcpy(e.address, &in.sin_addr, sizeof in.sin_addr);
    e.port = in.sin_port;
  } else if (storage.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(storage);
    e.port = in6.sin6_port;
    if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr)) {
      e.family = AF_INET;
      std::memcpy(e.address, in6.sin6_addr.s6_addr + 12, 4);
    } else {
      e.family = AF_INET6;
      std::memcpy(e.address, &in6.sin6_addr, sizeof in6.sin6_addr);
    }
  }
  return e;
}

}  // namespace

LocalUser CurrentLocalUser() {
  return static_cast<LocalUser>(geteuid());
}

PeerOwners::PeerOwners()
    : table_(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {
  if (table_ < 0) throw std::system_error(errno, std::generic_category(), "sock_diag");
}

PeerOwners::~PeerOwners() {
  close(static_cast<int>(table_));
}

std::optional<LocalUser> PeerOwners::OfPeer(std::uintptr_t socket, std::string& why) {
  const int fd = static_cast<int>(socket);
  sockaddr_storage local{}, remote{};
  socklen_t localSize = sizeof local, remoteSize = sizeof remote;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localSize) != 0 ||
      getpeername(fd, reinterpret_cast<sockaddr*>(&remote), &remoteSize) != 0) {
    why = std::string("not a connected socket: ") + std::strerror(errno);
    return std::nullopt;
  }
  const Endpoint here = ToEndpoint(local), there = ToEndpoint(remote);
  if (here.family == AF_UNSPEC || here.family != there.family) {
    why = "not a TCP connection";
    return std::nullopt;
  }

  // The exact lookup of one socket: the peer's, whose own end is `there` and far end `here`.
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.request.sdiag_family = static_cast<std::uint8_t>(there.family);
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;
  message.request.id.idiag_sport = there.port;
  message.request.id.idiag_dport = here.port;
  std::memcpy(message.request.id.idiag_src, there.address, sizeof there.address);
  std::memcpy(message.request.id.idiag_dst, here.address, sizeof here.address);
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  const int table = static_cast<int>(table_);
  if (sendto(table, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof kernel) < 0) {
    why = std::string("cannot ask the kernel's socket table: ") + std::strerror(errno);
    return std::nullopt;
  }
  alignas(nlmsghdr) char answer[1024];
  ssize_t size;
  do {
    size = recv(table, answer, sizeof answer, 0);
  } while (size < 0 && errno == EINTR);
  const auto* reply = reinterpret_cast<const nlmsghdr*>(answer);
  constexpr std::size_t kHeader = (sizeof(nlmsghdr) + NLMSG_ALIGNTO - 1) & ~(NLMSG_ALIGNTO - 1);
  if (size < static_cast<ssize_t>(kHeader) || reply->nlmsg_len > static_cast<std::size_t>(size)) {
    why = std::string("no answer from the kernel's socket table: ") +
          (size < 0 ? std::strerror(errno) : "truncated");
    return std::nullopt;
  }
  if (reply->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
      reply->nlmsg_len >= kHeader + sizeof(inet_diag_msg)) {
    const auto* found = reinterpret_cast<const inet_diag_msg*>(answer + kHeader);
    // The lookup falls back to a listener on the peer's port; only the connection itself counts.
    if (found->idiag_state != TCP_LISTEN && found->idiag_state != TCP_TIME_WAIT &&
        found->id.idiag_dport == here.port) {
      return static_cast<LocalUser>(found->idiag_uid);
    }
  }
  why = "no socket of this machine is its peer";
  return std::nullopt;
}

}  // namespace dralmin
