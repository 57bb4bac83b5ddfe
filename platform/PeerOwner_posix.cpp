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
#include <filesystem>
#include <fstream>
#include <string_view>
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

// The exact lookup of the socket whose own end is `self` and far end `other`; the kernel falls
// back to a listener on `self` when no connection matches. False with `why` when the table gives
// no answer.
bool Query(int table, const Endpoint& self, const Endpoint& other, inet_diag_msg& found,
           std::string& why) {
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.request.sdiag_family = static_cast<std::uint8_t>(self.family);
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;
  message.request.id.idiag_sport = self.port;
  message.request.id.idiag_dport = other.port;
  std::memcpy(message.request.id.idiag_src, self.address, sizeof self.address);
  std::memcpy(message.request.id.idiag_dst, other.address, sizeof other.address);
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(table, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof kernel) < 0) {
    why = std::string("cannot ask the kernel's socket table: ") + std::strerror(errno);
    return false;
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
    return false;
  }
  if (reply->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
      reply->nlmsg_len < kHeader + sizeof(inet_diag_msg)) {
    why = "no socket of this machine is its peer";
    return false;
  }
  std::memcpy(&found, answer + kHeader, sizeof found);
  return true;
}

// The process that has the socket with inode `inode` open, where this process may see it (its
// own user's processes, or every one as root): its id and program name.
void FindProcessOfSocket(std::uint32_t inode, PortHolder& holder) {
  if (inode == 0) return;
  const std::string wanted = "socket:[" + std::to_string(inode) + "]";
  std::error_code ec;
  for (const auto& process : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = process.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code fdError;
    for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", fdError)) {
      char target[64];
      const ssize_t size = readlink(fd.path().c_str(), target, sizeof target);
      if (size <= 0 || std::string_view(target, static_cast<std::size_t>(size)) != wanted) continue;
      holder.process = static_cast<std::uint32_t>(std::stoul(name));
      std::ifstream comm(process.path() / "comm");
      std::getline(comm, holder.program);
      return;
    }
  }
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
  // The peer's socket: its own end is `there`, its far end `here`.
  inet_diag_msg found{};
  if (!Query(static_cast<int>(table_), there, here, found, why)) return std::nullopt;
  if (found.id.idiag_dport != here.port) {
    // The fallback listener on the peer's port: only the connection itself counts.
    why = "no socket of this machine is its peer";
    return std::nullopt;
  }
  // A socket its process has closed (a time-wait entry, or an orphan still sending its last
  // bytes) has no owner left: the kernel reports user 0 for the former, and nobody would read
  // an answer on either. Only a socket still open in a process, on a live connection, names a
  // user (a client may have shut down its sending side and still read).
  const bool live = found.idiag_state == TCP_ESTABLISHED || found.idiag_state == TCP_FIN_WAIT1 ||
                    found.idiag_state == TCP_FIN_WAIT2;
  if (!live || found.idiag_inode == 0) {
    why = "its peer's socket is no longer open in any process";
    return std::nullopt;
  }
  return static_cast<LocalUser>(found.idiag_uid);
}

std::optional<PortHolder> PeerOwners::OfListener(const std::string& address, std::uint16_t port,
                                                 std::string& why) {
  sockaddr_storage storage{};
  auto& in = reinterpret_cast<sockaddr_in&>(storage);
  auto& in6 = reinterpret_cast<sockaddr_in6&>(storage);
  if (inet_pton(AF_INET, address.c_str(), &in.sin_addr) == 1) {
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
  } else if (inet_pton(AF_INET6, address.c_str(), &in6.sin6_addr) == 1) {
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
  } else {
    why = address + " is not an IP address";
    return std::nullopt;
  }
  // A connection to it from the address itself, port 0, which no connection has: the kernel's
  // lookup then gives the listener.
  const Endpoint self = ToEndpoint(storage);
  Endpoint other = self;
  other.port = 0;
  inet_diag_msg found{};
  if (!Query(static_cast<int>(table_), self, other, found, why)) {
    why = "no program listens there";
    return std::nullopt;
  }
  if (found.idiag_state != TCP_LISTEN) {
    why = "no program listens there";
    return std::nullopt;
  }
  PortHolder holder;
  holder.user = static_cast<LocalUser>(found.idiag_uid);
  FindProcessOfSocket(found.idiag_inode, holder);
  return holder;
}

}  // namespace dralmin
