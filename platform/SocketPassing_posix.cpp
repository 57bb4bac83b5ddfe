#include "platform/SocketPassing.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace dralmin {

std::optional<LocalPeer> PeerOfLocalSocket(int socket) {
  ucred credentials{};
  socklen_t size = sizeof credentials;
  if (getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
      size != sizeof credentials) {
    return std::nullopt;
  }
  return LocalPeer{static_cast<std::uint32_t>(credentials.uid),
                   static_cast<std::uint32_t>(credentials.pid)};
}

PassResult PassConnection(int channel, int connection, char tag, std::string& why) {
  iovec part{&tag, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* c = CMSG_FIRSTHDR(&message);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &connection, sizeof connection);
  ssize_t sent;
  do {
    sent = sendmsg(channel, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent == 1) return PassResult::kSent;
  // ETOOMANYREFS: the receiver holds as many passed descriptors unread as the sender may have.
  if (sent < 0 && (errno == EAGAIN || errno == ETOOMANYREFS)) {
    why = "its agent has not taken the connections passed before";
    return PassResult::kFull;
  }
  why = std::string("its agent cannot be reached: ") +
        (sent < 0 ? std::strerror(errno) : "nothing sent");
  return PassResult::kGone;
}

ReceiveResult ReceiveConnection(int channel, PassedConnection& received) {
  char tag = 0;
  iovec part{&tag, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t size;
  do {
    size = recvmsg(channel, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
  } while (size < 0 && errno == EINTR);
  if (size < 0 && errno == EAGAIN) return ReceiveResult::kNothing;
  if (size <= 0) return ReceiveResult::kEnded;
  int connection = -1;
  bool extra = (message.msg_flags & MSG_CTRUNC) != 0;
  for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      if (connection < 0) {
        connection = fd;
      } else {
        extra = true;
        close(fd);
      }
    }
  }
  if (connection < 0 || extra) {
    if (connection >= 0) close(connection);
    return ReceiveResult::kMalformed;
  }
  received = {connection, tag};
  return ReceiveResult::kReceived;
}

}  // namespace dralmin
