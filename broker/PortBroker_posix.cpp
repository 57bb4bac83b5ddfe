#include "broker/PortBroker.h"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <utility>  // Boost 1.74's Asio uses std::exchange without including it

#include <boost/asio.hpp>
#include <cerrno>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

#include "broker/RefusalLog.h"
#include "broker/Registrations.h"
#include "platform/Log.h"
#include "platform/SocketPassing.h"

namespace dralmin {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Local = asio::local::stream_protocol;
using Executor = asio::io_context::executor_type;
using Acceptor = asio::basic_socket_acceptor<tcp, Executor>;
using TcpSocket = asio::basic_stream_socket<tcp, Executor>;
using LocalAcceptor = asio::basic_socket_acceptor<Local, Executor>;
using LocalSocket = asio::basic_stream_socket<Local, Executor>;
using Timer = asio::basic_waitable_timer<std::chrono::steady_clock,
                                         asio::wait_traits<std::chrono::steady_clock>, Executor>;

// A registration is one short message sent at once after connecting: what one user may hold of
// the rendezvous before saying it is bounded in time (and in number, by Registrations).
constexpr std::chrono::seconds kHelloTimeout{2};
// Out of descriptors: the connection waits in the backlog, and accepting again at once would fail
// at once.
constexpr std::chrono::milliseconds kAcceptRetry{100};

std::string Describe(const TcpSocket& socket) {
  boost::system::error_code ec;
  const auto remote = socket.remote_endpoint(ec);
  if (ec) return "a closed connection";
  const std::string address = remote.address().to_string();
  return (remote.address().is_v6() ? "[" + address + "]" : address) + ":" +
         std::to_string(remote.port());
}

bool IsLoopback(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).is_loopback();
  }
  return address.is_loopback();
}

std::string UserName(LocalUser user) {
  return "user " + std::to_string(user);
}

}  // namespace

struct PortBroker::Impl {
  struct Listener {
    Listener(asio::io_context& io, SharedPort p) : acceptor(io), port(p), retry(io) {}
    Acceptor acceptor;
    SharedPort port;
    Timer retry;
  };
  struct Agent {
    explicit Agent(LocalSocket s) : socket(std::move(s)) {}
    LocalSocket socket;
    LocalUser user = 0;
    std::uint32_t process = 0;
  };
  struct Pending {
    explicit Pending(asio::io_context& io) : socket(io), timer(io) {}
    LocalSocket socket;
    Timer timer;
    LocalPeer peer;
    std::array<char, rendezvous::kHelloSize> hello{};
  };

  Impl(asio::io_context& context, rendezvous::Ports p)
      : io(context), ports(p), rendezvousAcceptor(io), rendezvousRetry(io) {}

  void Accept(Listener& listener) {
    listener.acceptor.async_accept(
        [this, &listener](boost::system::error_code ec, TcpSocket socket) {
          if (closed || ec == asio::error::operation_aborted) return;
          if (ec) {
            listener.retry.expires_after(kAcceptRetry);
            listener.retry.async_wait([this, &listener](boost::system::error_code timer) {
              if (!timer && !closed) Accept(listener);
            });
            return;
          }
          Route(std::move(socket), listener.port);
          Accept(listener);
        });
  }

  void Route(TcpSocket socket, SharedPort port) {
    const int fd = socket.native_handle();
    std::string why;
    const auto owner = owners.OfPeer(static_cast<std::uintptr_t>(fd), why);
    boost::system::error_code ec;
    if (!owner) {
      const auto remote = socket.remote_endpoint(ec);
      if (!ec && remoteServe && !IsLoopback(remote.address())) {
        return remoteServe(socket.release(), port);
      }
      refusals.Say(RefusalLog::kNobody, "connection from " + Describe(socket) + " closed: " + why);
      socket.close(ec);
      return;
    }
    if (hereServe && *owner == hereUser) return hereServe(socket.release(), port);
    const std::shared_ptr<Agent> agent = registrations.Of(*owner);
    if (!agent) {
      refusals.Say(*owner, "connection from " + Describe(socket) + " closed: " + UserName(*owner) +
                               " has no agent running");
      socket.close(ec);
      return;
    }
    const PassResult passed =
        PassConnection(agent->socket.native_handle(), fd, static_cast<char>(port), why);
    if (passed != PassResult::kSent) {
      refusals.Say(*owner, "connection from " + Describe(socket) + " of " + UserName(*owner) +
                               " closed: " + why);
      if (passed == PassResult::kGone) Drop(agent, "cannot be reached");
    }
    // Passed on, the connection is the agent's own descriptor; this one only goes.
    socket.close(ec);
  }

  void AcceptAgents() {
    rendezvousAcceptor.async_accept([this](boost::system::error_code ec, LocalSocket socket) {
      if (closed || ec == asio::error::operation_aborted) return;
      if (ec) {
        rendezvousRetry.expires_after(kAcceptRetry);
        rendezvousRetry.async_wait([this](boost::system::error_code timer) {
          if (!timer && !closed) AcceptAgents();
        });
        return;
      }
      Greet(std::move(socket));
      AcceptAgents();
    });
  }

  void Greet(LocalSocket socket) {
    boost::system::error_code ec;
    const auto peer = PeerOfLocalSocket(socket.native_handle());
    if (!peer) {
      socket.close(ec);
      return;
    }
    if (!registrations.Begin(peer->user)) {
      refusals.Say(peer->user, "a registration of " + UserName(peer->user) + " (process " +
                                   std::to_string(peer->process) +
                                   ") was refused: too many of its registrations are unfinished");
      socket.close(ec);
      return;
    }
    auto entry = std::make_shared<Pending>(io);
    entry->socket = std::move(socket);
    entry->peer = *peer;
    pending.insert(entry);
    entry->timer.expires_after(kHelloTimeout);
    entry->timer.async_wait([entry](boost::system::error_code timer) {
      boost::system::error_code ignored;
      if (!timer) entry->socket.close(ignored);
    });
    asio::async_read(entry->socket, asio::buffer(entry->hello),
                     [this, entry](boost::system::error_code error, std::size_t) {
                       if (closed) return;
                       Finish(entry);
                       if (!error) Register(entry);
                     });
  }

  void Finish(const std::shared_ptr<Pending>& entry) {
    entry->timer.cancel();
    pending.erase(entry);
    registrations.End(entry->peer.user);
  }

  void Answer(LocalSocket& socket, rendezvous::Answer answer) {
    // Nine bytes on a fresh connection always fit its buffer.
    const std::string bytes = rendezvous::AnswerBytes(answer, ports);
    boost::system::error_code ec;
    socket.non_blocking(true, ec);
    asio::write(socket, asio::buffer(bytes), ec);
  }

  void Register(const std::shared_ptr<Pending>& entry) {
    const LocalPeer peer = entry->peer;
    const std::string who = UserName(peer.user) + " (process " + std::to_string(peer.process) + ")";
    boost::system::error_code ec;
    const std::shared_ptr<Agent> before = registrations.Of(peer.user);
    switch (JudgeHello({entry->hello.data(), entry->hello.size()}, ports,
                       before && StillThere(*before))) {
      case HelloVerdict::kNotAnAgent:
        refusals.Say(peer.user, "a registration of " + who + " was refused: it is not an agent's");
        entry->socket.close(ec);
        return;
      case HelloVerdict::kOtherPorts:
        Answer(entry->socket, rendezvous::Answer::kOtherPorts);
        entry->socket.close(ec);
        return;
      case HelloVerdict::kTaken:
        refusals.Say(peer.user, "a second agent of " + who + " was refused: process " +
                                    std::to_string(before->process) + " is registered");
        Answer(entry->socket, rendezvous::Answer::kAlreadyRegistered);
        entry->socket.close(ec);
        return;
      case HelloVerdict::kRegister:
        break;
    }
    if (before) Drop(before, "has ended");
    auto agent = std::make_shared<Agent>(std::move(entry->socket));
    agent->user = peer.user;
    agent->process = peer.process;
    Answer(agent->socket, rendezvous::Answer::kRegistered);
    registrations.Add(agent);
    LogInfo("ports", "the agent of " + who + " is registered");
    UpdateView();
    Watch(agent);
  }

  // An agent sends nothing after its hello: the socket turns readable only when it ends.
  static bool StillThere(Agent& agent) {
    char byte;
    const ssize_t size = recv(agent.socket.native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return size < 0 && (errno == EAGAIN || errno == EINTR);
  }

  void Watch(const std::shared_ptr<Agent>& agent) {
    agent->socket.async_wait(LocalSocket::wait_read, [this, agent](boost::system::error_code ec) {
      if (closed || ec == asio::error::operation_aborted) return;
      if (!ec && StillThere(*agent)) return Watch(agent);
      Drop(agent, "has ended");
    });
  }

  void Drop(const std::shared_ptr<Agent>& agent, const std::string& why) {
    if (!registrations.Remove(agent)) return;
    boost::system::error_code ec;
    agent->socket.close(ec);
    LogInfo("ports", "the agent of " + UserName(agent->user) + " (process " +
                         std::to_string(agent->process) + ") " + why);
    UpdateView();
  }

  void UpdateView() {
    std::vector<Registration> now = registrations.View();
    if (told) told(now);
    std::lock_guard lock(viewMutex);
    view = std::move(now);
  }

  void Close() {
    closed = true;
    boost::system::error_code ec;
    for (auto& listener : listeners) {
      listener->acceptor.close(ec);
      listener->retry.cancel();
    }
    rendezvousAcceptor.close(ec);
    rendezvousRetry.cancel();
    for (const auto& entry : pending) {
      entry->socket.close(ec);
      entry->timer.cancel();
    }
    pending.clear();
    registrations.EndAll();
    for (const auto& agent : registrations.TakeAll()) agent->socket.close(ec);
    UpdateView();
  }

  asio::io_context& io;
  rendezvous::Ports ports;
  PeerOwners owners;
  RefusalLog refusals;
  std::vector<std::unique_ptr<Listener>> listeners;
  LocalAcceptor rendezvousAcceptor;
  Timer rendezvousRetry;
  Registrations<Agent> registrations;
  std::unordered_set<std::shared_ptr<Pending>> pending;
  LocalUser hereUser = 0;
  Serve hereServe;
  Serve remoteServe;
  bool closed = false;
  std::function<void(const std::vector<Registration>&)> told;
  mutable std::mutex viewMutex;
  std::vector<Registration> view;
};

PortBroker::PortBroker(asio::io_context& io, rendezvous::Ports ports)
    : impl_(std::make_unique<Impl>(io, ports)) {}

PortBroker::~PortBroker() {
  if (!impl_->closed) impl_->Close();
}

void PortBroker::ServeHere(LocalUser user, Serve serve) {
  impl_->hereUser = user;
  impl_->hereServe = std::move(serve);
}

void PortBroker::ServeRemote(Serve serve) {
  impl_->remoteServe = std::move(serve);
}

void PortBroker::AddListener(BrokerSocket listener, SharedPort port) {
  auto entry = std::make_unique<Impl::Listener>(impl_->io, port);
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
  boost::system::error_code ec;
  entry->acceptor.assign(address.ss_family == AF_INET6 ? tcp::v6() : tcp::v4(), listener, ec);
  if (ec) {
    LogError("ports", "a listening socket cannot be used: " + ec.message());
    close(listener);
    return;
  }
  impl_->listeners.push_back(std::move(entry));
  impl_->Accept(*impl_->listeners.back());
}

void PortBroker::SetRendezvous(int listener) {
  boost::system::error_code ec;
  impl_->rendezvousAcceptor.assign(Local(), listener, ec);
  if (ec) {
    LogError("ports", "the rendezvous cannot be used: " + ec.message());
    close(listener);
    return;
  }
  impl_->AcceptAgents();
}

void PortBroker::Close() {
  impl_->Close();
}

void PortBroker::OnRegistrations(std::function<void(const std::vector<Registration>&)> told) {
  impl_->told = std::move(told);
}

std::vector<PortBroker::Registration> PortBroker::Registered() const {
  std::lock_guard lock(impl_->viewMutex);
  return impl_->view;
}

}  // namespace dralmin
