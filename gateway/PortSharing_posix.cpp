#include "gateway/PortSharing.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>

#include "platform/Log.h"
#include "platform/PeerOwner.h"

namespace dralmin {
namespace {

namespace asio = boost::asio;
using Local = asio::local::stream_protocol;

// In the abstract namespace: nothing on disk to clean up after a crash, and the name is gone with
// the agent. Anyone may bind a free name, so the holder checks who listens before passing on.
std::string WaitingPlace(LocalUser user, std::uint16_t httpPort) {
  return std::string(1, '\0') + "dralmin-tray-agent/" + std::to_string(user) + "/" +
         std::to_string(httpPort);
}

std::string Describe(const Socket& socket) {
  boost::system::error_code ec;
  const auto remote = socket.remote_endpoint(ec);
  if (ec) return "a closed connection";
  return remote.address().to_string() + ":" + std::to_string(remote.port());
}

bool IsLoopback(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).is_loopback();
  }
  return address.is_loopback();
}

// What a peer may hold of the waiting place: a handing over is one message sent at once, so a
// connection that sends nothing soon is closed, and only so many may wait at a time.
constexpr std::chrono::seconds kHandoverTimeout{2};
constexpr std::size_t kMaxPendingHandovers = 64;

}  // namespace

struct PortSharing::Impl {
  struct Pending {
    explicit Pending(asio::io_context& io) : socket(io), timer(io.get_executor()) {}
    Local::socket socket;
    Timer timer;
  };

  Impl(asio::io_context& context, std::uint16_t port, std::uint16_t securePort, Serve s,
       LocalUser user)
      : io(context),
        httpPort(port),
        httpsPort(securePort),
        serve(std::move(s)),
        self(user),
        waiting(io, Local::endpoint(WaitingPlace(self, port))) {}

  void Wait() {
    waiting.async_accept([this](boost::system::error_code ec, Local::socket socket) {
      if (ec == asio::error::operation_aborted || !waiting.is_open()) return;
      if (!ec && pending.size() < kMaxPendingHandovers) {
        auto entry = std::make_shared<Pending>(io);
        pending.insert(entry);
        entry->socket = std::move(socket);
        entry->timer.expires_after(kHandoverTimeout);
        entry->timer.async_wait([entry](boost::system::error_code timerError) {
          boost::system::error_code ignored;
          if (!timerError) entry->socket.close(ignored);
        });
        ReadHandover(entry);
      }
      Wait();
    });
  }

  void ReadHandover(const std::shared_ptr<Pending>& entry) {
    entry->socket.async_wait(Local::socket::wait_read, [this, entry](boost::system::error_code ec) {
      if (ec == asio::error::operation_aborted && closed) return;
      if (!ec && entry->socket.is_open()) {
        const ReadResult result = Receive(entry->socket.native_handle());
        if (result == ReadResult::Again) return ReadHandover(entry);
      }
      entry->timer.cancel();
      boost::system::error_code ignored;
      entry->socket.close(ignored);
      pending.erase(entry);
    });
  }

  enum class ReadResult { Done, Again };

  ReadResult Receive(int from) {
    char kind = 0;
    iovec part{&kind, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 4)];
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t size = recvmsg(from, &message, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (size < 0 && (errno == EAGAIN || errno == EINTR)) return ReadResult::Again;
    int connection = -1;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
      const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t i = 0; i < count; ++i) {
        int fd;
        std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
        // One connection a message; anything more is not ours to keep.
        if (connection < 0) {
          connection = fd;
        } else {
          close(fd);
        }
      }
    }
    if (connection < 0) return ReadResult::Done;
    if (size != 1 ||
        (kind != static_cast<char>(Port::Plain) && kind != static_cast<char>(Port::Secure))) {
      close(connection);
      return ReadResult::Done;
    }
    Accept(connection, static_cast<Port>(kind));
    return ReadResult::Done;
  }

  // A handed connection is served only when it is a TCP connection whose other end belongs to
  // this agent's user: whoever handed it over is not trusted with that.
  void Accept(int fd, Port port) {
    int domain = 0, protocol = 0;
    socklen_t size = sizeof domain;
    getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size);
    size = sizeof protocol;
    getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &size);
    if ((domain != AF_INET && domain != AF_INET6) || protocol != IPPROTO_TCP) {
      LogWarning("gateway", "a connection handed over was dropped: it is not a TCP connection");
      close(fd);
      return;
    }
    Socket socket(io.get_executor());
    boost::system::error_code ec;
    socket.assign(domain == AF_INET ? asio::ip::tcp::v4() : asio::ip::tcp::v6(), fd, ec);
    if (ec) {
      close(fd);
      return;
    }
    // Only a connection accepted on these ports: a user's own end of a connection to them would
    // have the holder's agent as its peer, and pass the owner check below.
    const auto local = socket.local_endpoint(ec);
    if (ec || local.port() != (port == Port::Plain ? httpPort : httpsPort)) {
      LogWarning("gateway", "a connection from " + Describe(socket) +
                                " handed over was dropped: it was not accepted on the port");
      socket.close(ec);
      return;
    }
    std::string why;
    const auto owner = owners.OfPeer(static_cast<std::uintptr_t>(fd), why);
    if (owner != self) {
      LogWarning("gateway", "a connection from " + Describe(socket) + " handed over was dropped: " +
                                (owner ? "it belongs to user " + std::to_string(*owner) : why));
      socket.close(ec);
      return;
    }
    serve(std::move(socket), port);
  }

  // Connects to the waiting place of `user`; -1 with `why` when there is none to trust.
  int Reach(LocalUser user, std::string& why) {
    const int to = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (to < 0) {
      why = std::string("cannot open a socket: ") + std::strerror(errno);
      return -1;
    }
    const std::string name = WaitingPlace(user, httpPort);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    if (connect(to, reinterpret_cast<sockaddr*>(&address), length) != 0) {
      why = errno == ECONNREFUSED || errno == ENOENT
                ? "user " + std::to_string(user) + " has no agent running"
                : "the agent of user " + std::to_string(user) +
                      " does not take connections: " + std::strerror(errno);
      close(to);
      return -1;
    }
    ucred listener{};
    socklen_t size = sizeof listener;
    if (getsockopt(to, SOL_SOCKET, SO_PEERCRED, &listener, &size) != 0 ||
        static_cast<LocalUser>(listener.uid) != user) {
      why = "the waiting place of user " + std::to_string(user) + " is held by user " +
            std::to_string(listener.uid);
      close(to);
      return -1;
    }
    return to;
  }

  bool KeepOrPass(Socket& socket, Port port) {
    std::string why;
    const int fd = socket.native_handle();
    const auto owner = owners.OfPeer(static_cast<std::uintptr_t>(fd), why);
    if (owner == self) return true;
    boost::system::error_code ec;
    if (!owner) {
      const auto remote = socket.remote_endpoint(ec);
      if (!ec && !IsLoopback(remote.address())) return true;  // another machine's
    } else if (const int to = Reach(*owner, why); to >= 0) {
      char kind = static_cast<char>(port);
      iovec part{&kind, 1};
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
      std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
      const bool sent = sendmsg(to, &message, MSG_NOSIGNAL) == 1;
      if (!sent) why = std::string("cannot hand it over: ") + std::strerror(errno);
      close(to);
      if (sent) {
        // The receiver holds its own descriptor now; this one only goes.
        socket.close(ec);
        return false;
      }
    }
    LogWarning("gateway", "connection from " + Describe(socket) + " closed: " + why);
    socket.close(ec);
    return false;
  }

  void Close() {
    closed = true;
    boost::system::error_code ignored;
    waiting.close(ignored);
    for (const auto& entry : pending) {
      entry->socket.close(ignored);
      entry->timer.cancel();
    }
  }

  asio::io_context& io;
  std::uint16_t httpPort;
  std::uint16_t httpsPort;
  Serve serve;
  LocalUser self;
  PeerOwners owners;
  Local::acceptor waiting;
  std::unordered_set<std::shared_ptr<Pending>> pending;
  bool closed = false;
};

bool PortSharing::Supported() {
  return true;
}

PortSharing::PortSharing(asio::io_context& io, std::uint16_t httpPort, std::uint16_t httpsPort,
                         Serve serve)
    : PortSharing(io, httpPort, httpsPort, std::move(serve), CurrentLocalUser()) {}

PortSharing::PortSharing(asio::io_context& io, std::uint16_t httpPort, std::uint16_t httpsPort,
                         Serve serve, LocalUser self)
    : impl_(std::make_unique<Impl>(io, httpPort, httpsPort, std::move(serve), self)) {
  impl_->Wait();
}

PortSharing::~PortSharing() = default;

void PortSharing::AsyncAccept(Acceptor& acceptor, Port port, Accepted done) {
  acceptor.async_accept([impl = impl_.get(), port, done = std::move(done)](
                            boost::system::error_code ec, Socket socket) {
    if (ec || !impl->KeepOrPass(socket, port)) return done(ec, std::nullopt);
    done(ec, std::move(socket));
  });
}

void PortSharing::Close() {
  impl_->Close();
}

}  // namespace dralmin
